#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include "app/cli/output_file.h"

namespace quorvel::cli {

// Writes text handed over by any thread to one output on a thread of its own, so that an
// output that is slow or stalls (a full pipe, a FIFO nobody reads, a hung network share)
// never holds up the threads that produce it: they only ever take a short lock that no
// write is made under. Either lossless (the queue grows as needed) or bounded, when text
// that would take the queue beyond its limit is refused.
class BackgroundWriter {
 public:
  static constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();

  BackgroundWriter(OutputFile output, std::size_t queueLimitBytes);
  // Gives up at once on what is still queued (call finish() first to wait for it).
  ~BackgroundWriter();
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Queues `text`; false when a bounded queue has no room for it (nothing was queued).
  // Text queued after the output failed is dropped and counted as lost.
  bool push(std::string text);
  // Queues `text` whatever the limit.
  void pushAlways(std::string text);

  struct Report {
    std::uint64_t lostLines = 0;  // queued or refused after a failure, never written
    bool failed = false;          // the output reported an error
  };
  // Waits until everything queued is written. While `patient()` holds, a stalled output is
  // waited for without end; otherwise the writer is given up once it has written nothing for
  // `stallLimit`, and what is left is lost. The writer stops and closes the output; a thread
  // stuck in a write that cannot be interrupted is left behind, never waited for. Once only.
  Report finish(std::chrono::milliseconds stallLimit, const std::function<bool()>& patient);

 private:
  struct State;
  bool add(std::string text, bool withinLimit);
  static void run(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;  // shared with the thread, which may outlive us
  std::thread thread_;
};

// The number of line ends in `text`.
std::uint64_t countLines(std::string_view text);

}  // namespace quorvel::cli
