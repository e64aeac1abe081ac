#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/cli/multi_unit_display.h"
#include "app/cli/progress_display.h"
#include "app/cli/run_event.h"
#include "app/cli/transcript.h"
#include "engine/downloader.h"

// One instrument's transfer on a worker thread of its own, with what the front end shows and
// records of it. The worker reports where it stands through atomics only; the main thread
// never waits on it but to join it.
namespace quorvel::cli {

// Where the trace lines of a transfer thread go.
enum class TraceRoute {
  AsIs,      // standard output as they are (a single port)
  Prefixed,  // standard output, each line prefixed with the port
  Queued,    // prefixed, handed to the main thread, which prints them above its display
  Events,    // as trace events, one per line
};

// Each line of `text` (empty ones dropped) as "<port>: <line>".
std::string prefixLines(const std::string& port, std::string_view text);

// Trace lines waiting for the main thread: workers add, the main thread takes them all.
class TraceQueue {
 public:
  void push(const std::string& text);  // wakes the main thread
  std::string takeAll();

 private:
  std::mutex mutex_;
  std::string pending_;
};

// What the run tells of its tries, kept for the display and the record. Fed with the
// transfer's events by the worker, read by the main thread, without a lock.
class UnitWatch : public EventSink {
 public:
  struct Counts {
    UnitState state = UnitState::Waiting;  // Waiting, EnteringLoader, Sending, Retrying, Verifying
    std::uint32_t sector = 0;              // the sector of the latest try
    std::uint32_t attempt = 0;             // that try's number
    std::uint32_t acknowledged = 0;        // sectors the instrument acknowledged
    std::uint32_t retries = 0;             // tries beyond the first, over all sectors
  };

  // `wake`, if given, is called when the wait for the restart begins: no progress tells it.
  explicit UnitWatch(void (*wake)() = nullptr) : wake_(wake) {}
  void event(const RunEvent& event) override;
  Counts counts() const;

 private:
  void (*wake_)();
  std::atomic<UnitState> state_{UnitState::Waiting};
  std::atomic<std::uint32_t> sector_{0};
  std::atomic<std::uint32_t> attempt_{0};
  std::atomic<std::uint32_t> acknowledged_{0};
  std::atomic<std::uint32_t> retries_{0};
};

// The transfer's reports as events: the engine's observations, its progress posts (passed on
// to `progress`) and its trace lines, each stamped with the time and the port.
class UnitEvents : public DownloadObserver, public MessageTarget {
 public:
  UnitEvents(const std::string& port, EventSink& sinks, MessageTarget& progress)
      : port_(port), sinks_(sinks), progress_(progress) {}

  void emit(RunEventDetail detail);

  void loaderEntryAttempt(std::uint32_t attempt) override;
  void loaderEntryEnded(LoaderEntryOutcome outcome) override;
  void sectorTry(const SectorTry& sectorTry) override;
  void sectorAnswer(const SectorTry& sectorTry, const SectorAnswer& answer) override;
  void restartCheckStarted() override;
  void restartCheckEnded(RestartOutcome outcome, double secondsSinceGo) override;
  void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;

 private:
  const std::string& port_;
  EventSink& sinks_;
  MessageTarget& progress_;
};

// The exit status of a finished run: 0, its result code, or kExitInternal for a run that
// failed without a known result.
int finishedResult(bool succeeded, std::int32_t result);

// A download over `downloader` to `port` on a thread of its own, and, when asked, the check
// that the instrument restarts after it. Its traces follow `route` and, with its bytes, go to
// `transcript` when there is one; its events go to its watch and to `events`. The destructor
// cancels a transfer still running and waits for it.
class PortTransfer {
 public:
  struct Setup {
    Transcript* transcript = nullptr;
    TraceRoute route = TraceRoute::AsIs;
    TraceQueue* queue = nullptr;                      // for TraceRoute::Queued
    EventSink* events = nullptr;                      // the run's consumers of events, if any
    std::optional<std::uint32_t> verifyLimitSeconds;  // check the restart, at most this long
  };

  PortTransfer(Downloader& downloader, std::string port, Setup setup);
  ~PortTransfer();
  PortTransfer(const PortTransfer&) = delete;
  PortTransfer& operator=(const PortTransfer&) = delete;

  // Starts the worker; false when no thread could be made (the transfer then counts as
  // ended, with the result kExitInternal).
  bool start();
  void join();

  const std::string& port() const { return port_; }
  // False when no thread could be made: nothing was tried on the port.
  bool attempted() const { return !notStarted_; }
  const ProgressChannel& channel() const { return channel_; }
  UnitWatch::Counts counts() const { return watch_.counts(); }
  // Once channel() has shown the end: what the summary and the record keep of it.
  UnitOutcome outcome() const;
  // Where it stands, for the display.
  UnitProgress progress() const;

 private:
  void run();

  Downloader& downloader_;
  std::string port_;
  Setup setup_;
  ProgressChannel channel_;
  UnitWatch watch_;
  EventSinks sinks_;  // the watch, then the run's
  UnitEvents events_;
  // Written by the worker before it posts its end:
  double seconds_ = 0;
  bool succeeded_ = false;
  std::optional<bool> verified_;
  std::optional<double> restartSeconds_;
  bool notStarted_ = false;
  std::thread thread_;
};

}  // namespace quorvel::cli
