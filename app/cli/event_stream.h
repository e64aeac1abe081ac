#pragma once

#include <chrono>
#include <functional>

#include "app/cli/background_writer.h"
#include "app/cli/run_event.h"

namespace quorvel::cli {

// After an interrupt, how long a reader that takes no more events is still waited for.
inline constexpr std::chrono::milliseconds kEventStreamStallLimit{500};

// The run's events as JSON Lines on the standard output, which the stream takes over for
// itself: each event is formatted where it happens and written by a writer thread of its own,
// at once, none lost. A reader that stops reading holds up no transfer; only the end of the
// run waits for it.
class JsonEventStream : public EventSink {
 public:
  JsonEventStream();
  void event(const RunEvent& event) override;
  // Waits until every event has been written: as long as it takes, unless `interrupted()`
  // says so, then no longer than kEventStreamStallLimit without progress. The count of events
  // that could not be written.
  std::uint64_t finish(const std::function<bool()>& interrupted);

 private:
  BackgroundWriter writer_;
};

}  // namespace quorvel::cli
