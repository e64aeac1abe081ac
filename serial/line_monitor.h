#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel {

// Sees every byte that the serial ports of one thread send and receive, for a byte-level
// record of an exchange. Called on that thread, right after each read or write, with the
// bytes that actually went out or came in.
class LineMonitor {
 public:
  virtual ~LineMonitor() = default;
  virtual void sent(const std::uint8_t* bytes, std::size_t count) = 0;
  virtual void received(const std::uint8_t* bytes, std::size_t count) = 0;
};

// While it lives, the serial ports used on the calling thread report to `monitor`; the
// previous monitor (or none) comes back when it ends. Other threads are not affected.
class ScopedLineMonitor {
 public:
  explicit ScopedLineMonitor(LineMonitor& monitor);
  ~ScopedLineMonitor();
  ScopedLineMonitor(const ScopedLineMonitor&) = delete;
  ScopedLineMonitor& operator=(const ScopedLineMonitor&) = delete;

 private:
  LineMonitor* previous_;
};

namespace detail {

// What the port back ends call; nothing but a thread-local look-up when no monitor is there.
void reportSent(const std::uint8_t* bytes, std::size_t count);
void reportReceived(const std::uint8_t* bytes, std::size_t count);

}  // namespace detail

}  // namespace quorvel
