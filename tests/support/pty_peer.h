#pragma once

// Pseudo-terminal pairs with the test on the far end of the port under test (POSIX).

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::testing {

// A pseudo-terminal pair; the port under test opens `path`, the peer works on `master`.
// The slave stays open here too, so that the port may close and reopen it without the
// master seeing a hang-up.
struct PtyPair {
  int master = -1;
  int slave = -1;
  std::string path;
  PtyPair();  // fails the current test (ADD_FAILURE) when no pair can be made
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;
};

// The far end of a pseudo-terminal pair, played byte by byte by a test as the instrument
// would: the line is raw from the start, so that nothing sent before the port opens is
// echoed.
class PtyPeer {
 public:
  PtyPeer();
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  const std::string& slavePath() const { return pair_.path; }
  // A descriptor of the slave held open by the test: lets it look at the line's settings.
  int slaveFd() const { return pair_.slave; }

  // Sends bytes to the port under test.
  void send(const std::string& bytes);
  // Up to `count` bytes the port has written, waiting at most `timeoutMs` for all of them.
  std::string receive(std::size_t count, int timeoutMs);
  // Pulls the line: closes the master.
  void hangUp();

 private:
  PtyPair pair_;
};

// A scripted far end: cuts what arrives into units (`cut` gives the length of the complete
// unit at the front of the pending bytes, 0 while incomplete) and writes `respond`'s reply.
class ScriptedPeer {
 public:
  using Cutter = std::function<std::size_t(const std::string& pending)>;
  using Responder = std::function<std::string(const std::string& unit)>;

  ScriptedPeer(int fd, Cutter cut, Responder respond)
      : fd_(fd), cut_(std::move(cut)), respond_(std::move(respond)), thread_([this] { run(); }) {}
  ~ScriptedPeer() {
    stop_ = true;
    thread_.join();
  }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  std::vector<std::string> units() const {
    std::lock_guard lock(mutex_);
    return units_;
  }
  // Everything received, including an incomplete tail.
  std::string received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  // Waits (at most a second) until `bytes` have arrived; the writer may return before its
  // bytes have been read here.
  std::string awaitReceived(std::size_t bytes) const {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(1), [&] { return received_.size() >= bytes; });
    return received_;
  }
  // Waits until nothing has arrived for `quiet`.
  void awaitQuiet(std::chrono::milliseconds quiet) const {
    std::unique_lock lock(mutex_);
    while (arrived_.wait_for(lock, quiet) != std::cv_status::timeout) {
    }
  }

 private:
  void run() {
    std::string pending;
    char chunk[4096];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 5) <= 0 || (p.revents & POLLIN) == 0) continue;
      ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n <= 0) continue;
      pending.append(chunk, static_cast<std::size_t>(n));
      appendReceived(chunk, static_cast<std::size_t>(n));
      for (std::size_t length; (length = cut_(pending)) > 0;) {
        std::string unit = pending.substr(0, length);
        pending.erase(0, length);
        addUnit(unit);
        std::string reply = respond_(unit);
        if (!reply.empty() && ::write(fd_, reply.data(), reply.size()) < 0) return;
      }
    }
  }
  void appendReceived(const char* data, std::size_t n) {
    std::lock_guard lock(mutex_);
    received_.append(data, n);
    arrived_.notify_all();
  }
  void addUnit(const std::string& unit) {
    std::lock_guard lock(mutex_);
    units_.push_back(unit);
  }

  int fd_;
  Cutter cut_;
  Responder respond_;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<std::string> units_;
  std::string received_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Modbus ASCII frames end with CR LF.
inline std::size_t cutAtLineFeed(const std::string& pending) {
  std::size_t end = pending.find('\n');
  return end == std::string::npos ? 0 : end + 1;
}

}  // namespace quorvel::testing
