#pragma once

#include <cstdint>
#include <string_view>

#if defined(__MINGW32__)
#define QUORVEL_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define QUORVEL_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define QUORVEL_PRINTF_FORMAT(f, a)
#endif

namespace quorvel {

// Room for 1023 characters and the terminator; longer text is cut.
inline constexpr int kTraceBufferSize = 1024;

// Diagnostic trace to standard output, or to the calling thread's ScopedTraceSink while one
// is installed. Each call site passes a fixed enable flag: 0 drops the trace without
// formatting it. Returns the number of characters formatted (at most kTraceBufferSize - 1),
// 0 for a dropped trace. One write per trace, no lock.
int trace(std::uint8_t enable, const char* format, ...) QUORVEL_PRINTF_FORMAT(2, 3);

// Writes `text` to standard output as a trace without a sink does: one write, nothing lost to
// a short write. For sinks that pass traces on.
void writeStandardOutput(std::string_view text);

// Receives the formatted text of enabled traces instead of standard output. A sink shared
// by several threads is called from all of them, possibly at the same time.
class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void write(std::string_view text) = 0;
};

// Drops every trace, for work whose line-level diagnostics would only clutter what the
// user asked to see.
class DiscardTraces : public TraceSink {
 public:
  void write(std::string_view) override {}
};

// While it lives, the traces of the calling thread go to `sink`; the previous destination
// (standard output, or an outer sink) comes back when it ends. Other threads are not
// affected, so each worker installs its own.
class ScopedTraceSink {
 public:
  explicit ScopedTraceSink(TraceSink& sink);
  ~ScopedTraceSink();
  ScopedTraceSink(const ScopedTraceSink&) = delete;
  ScopedTraceSink& operator=(const ScopedTraceSink&) = delete;

 private:
  TraceSink* previous_;
};

}  // namespace quorvel
