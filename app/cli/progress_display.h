#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/message_target.h"

namespace quorvel::cli {

// How the main thread shows the download's progress on standard error.
enum class ProgressStyle {
  InPlaceBar,  // a terminal of its own: one bar redrawn in place
  BarLines,    // a terminal shared with the traces: one bar line per change, between them
  PlainLines,  // a file or a pipe: one "Progress: N %" line per change
};

ProgressStyle chooseProgressStyle(bool errorIsTerminal, bool sharedWithTraces);

// One rendering of `percent` (0 to 100) in `style`, without the line end.
std::string formatProgress(unsigned percent, ProgressStyle style);

class ProgressDisplay {
 public:
  ProgressDisplay(std::FILE* out, ProgressStyle style) : out_(out), style_(style) {}
  ~ProgressDisplay() { endLine(); }
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  // Shows `percent` unless it is the one shown last.
  void show(unsigned percent);
  // Ends an in-place bar's line so that a message can follow.
  void endLine();

 private:
  std::FILE* out_;
  ProgressStyle style_;
  int shown_ = -1;
  bool lineOpen_ = false;
};

// The CLI's MessageTarget: the worker stores the latest state and wakes the main thread.
// post() never blocks and never waits for the display.
class ProgressChannel : public MessageTarget {
 public:
  using WakeFunction = void (*)();
  explicit ProgressChannel(WakeFunction wake) : wake_(wake) {}

  void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;

  struct Snapshot {
    int percent = -1;  // -1 before the first report
    bool ended = false;
    bool succeeded = false;
  };
  // Once `ended` is seen, `percent` is the last one posted before the end.
  Snapshot snapshot() const;

 private:
  WakeFunction wake_;
  std::atomic<int> percent_{-1};
  std::atomic<bool> succeeded_{false};
  std::atomic<bool> ended_{false};
};

}  // namespace quorvel::cli
