#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/cli/unit_record.h"
#include "engine/download_observer.h"

// What happens in an upgrade run, as one event type for every consumer: the JSON stream,
// the display of several units, the record.
namespace quorvel::cli {

// The run is about to send: the image and where it goes.
struct RunStarted {
  std::string toolVersion;
  std::string image;  // as given
  std::optional<std::string> imageSha256;
  std::string compatibility;  // "major.minor"
  std::uint64_t words = 0;
  std::uint64_t sectors = 0;
  std::vector<std::string> ports;
};

// A register read of the loader-mode entry is about to go out.
struct EntryAttempt {
  std::uint32_t attempt = 0;  // from 1
};

struct LoaderEntered {
  LoaderEntryOutcome outcome = LoaderEntryOutcome::NoAnswer;
};

struct SectorAnswered {
  SectorTry sectorTry;
  SectorAnswer answer;
};

struct ProgressMade {
  unsigned percent = 0;
};

// One trace line, without its line end.
struct TraceLine {
  std::string text;
};

// The wait for the instrument's restart has begun (shown, not streamed: its end is).
struct RestartCheckBegun {};

struct RestartChecked {
  RestartOutcome outcome = RestartOutcome::NotAnswered;
  double secondsSinceGo = 0;
};

// A unit's upgrade is over: the record line's fields.
using UnitEnded = UnitRecord;

struct RunEnded {
  int status = 0;  // the exit status
};

using RunEventDetail =
    std::variant<RunStarted, EntryAttempt, LoaderEntered, SectorTry, SectorAnswered, ProgressMade,
                 TraceLine, RestartCheckBegun, RestartChecked, UnitEnded, RunEnded>;

struct RunEvent {
  std::chrono::system_clock::time_point time = std::chrono::system_clock::now();
  std::optional<std::string> port;  // the instrument it concerns; none for the whole run
  RunEventDetail detail;
};

// A consumer of events. Called from the transfer threads and the main thread, possibly at
// the same time; must never block them.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void event(const RunEvent& event) = 0;
};

// Hands each event to every sink, in the order given.
class EventSinks : public EventSink {
 public:
  EventSinks() = default;
  EventSinks(std::initializer_list<EventSink*> sinks) : sinks_(sinks) {}
  void add(EventSink* sink) {
    if (sink != nullptr) sinks_.push_back(sink);
  }
  void event(const RunEvent& event) override {
    for (EventSink* sink : sinks_) sink->event(event);
  }

 private:
  std::vector<EventSink*> sinks_;
};

// The lines of `text` (traces may hold several, or begin with a line end), empty ones left out.
std::vector<std::string> traceLines(std::string_view text);

// The event as one line of JSON with its line end; empty for an event that is not streamed.
std::string formatEventLine(const RunEvent& event);

// The version of the event format that `start` announces.
inline constexpr int kEventSchemaVersion = 1;

}  // namespace quorvel::cli
