#include "app/cli/multi_unit_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>

#include "app/cli/cli_options.h"
#include "app/cli/console.h"
#include "app/cli/port_transfer.h"
#include "app/cli/printable_text.h"
#include "engine/downloader.h"

namespace quorvel::cli {
namespace {

constexpr const char* kCancelingMessage = "Canceling the download...\n";

// One instrument of the run: its own downloader over the shared image, its transfer, and
// its cancel event registered for the interrupt (unregistered before the event goes).
struct RunningUnit {
  RunningUnit(const FirmwareImage& image, const std::string& port, PortTransfer::Setup setup)
      : downloader(image), transfer(downloader, port, setup), cancel(downloader.cancelEvent()) {}

  Downloader downloader;
  PortTransfer transfer;
  CancelOnInterrupt cancel;
  bool finished = false;    // its end has been shown and recorded
  bool unrecorded = false;  // the record could not keep it
};

// The main thread's watch over the running transfers, until all have ended.
class UnitsWatch {
 public:
  UnitsWatch(std::deque<RunningUnit>& units, MultiUnitDisplay& display, TraceQueue& traces,
             const RunRecords& records, std::vector<PortReservation>& reservations)
      : units_(units),
        display_(display),
        traces_(traces),
        records_(records),
        reservations_(reservations) {}

  void untilAllEnded() {
    for (;;) {
      // The states first, then the traces: every trace line of a state shown is printed
      // before it.
      std::vector<UnitProgress> states;
      for (const RunningUnit& unit : units_) states.push_back(unit.transfer.progress());
      display_.printAbove(traces_.takeAll());
      const bool running = showUnits(states);
      // A cancel may end every run before this thread looks again: announced all the same.
      if (interruptSignal() != 0 && !cancelAnnounced_) {
        display_.printAbove(kCancelingMessage);
        cancelAnnounced_ = true;
      }
      if (!running) return;
      waitForWake();
    }
  }

 private:
  // True while any transfer runs. A port is recorded as soon as its end is seen.
  bool showUnits(const std::vector<UnitProgress>& states) {
    bool running = false;
    for (std::size_t i = 0; i < units_.size(); ++i) {
      RunningUnit& unit = units_[i];
      display_.update(i, states[i]);
      const bool ended = isFinal(states[i].state);
      if (ended && !unit.finished) {
        unit.finished = true;
        // Its port is closed: the record may take a while.
        if (i < reservations_.size()) reservations_[i].release();
        if (unit.transfer.attempted()) {
          unit.unrecorded = !recordUnit(records_, unit.transfer.outcome());
        }
      }
      running = running || !ended;
    }
    return running;
  }

  std::deque<RunningUnit>& units_;
  MultiUnitDisplay& display_;
  TraceQueue& traces_;
  const RunRecords& records_;
  std::vector<PortReservation>& reservations_;
  bool cancelAnnounced_ = false;
};

}  // namespace

std::optional<std::string> usbSerialOf(const std::string& port,
                                       const std::vector<SerialPortInfo>& listed) {
  const std::string identity = portIdentity(port);
  for (const SerialPortInfo& info : listed) {
    if (!info.usbSerial.empty() && portIdentity(info.name) == identity) return info.usbSerial;
  }
  return std::nullopt;
}

void RecordSink::event(const RunEvent& event) {
  const auto* unit = std::get_if<UnitEnded>(&event.detail);
  if (unit == nullptr) return;
  std::string error;
  if (!file_.append(formatRecordLine(*unit), error, [] { return interruptSignal() != 0; })) {
    say(std::string(kProgramName) + ": " + error + "; the result of " + printableText(unit->port) +
        " is not in the record.\n");
    std::lock_guard lock(mutex_);
    lostPorts_.push_back(unit->port);
  }
}

bool RecordSink::lost(const std::string& port) const {
  std::lock_guard lock(mutex_);
  return std::find(lostPorts_.begin(), lostPorts_.end(), port) != lostPorts_.end();
}

bool recordUnit(const RunRecords& records, const UnitOutcome& outcome) {
  if (records.sinks == nullptr) return true;
  const auto now = std::chrono::system_clock::now();
  UnitRecord record = records.common;
  record.time = utcTimestamp(now);
  record.port = outcome.port;
  record.usbSerial = usbSerialOf(outcome.port, records.listedPorts);
  record.sectors = outcome.sectors;
  record.retries = outcome.retries;
  record.seconds = outcome.seconds;
  record.result = outcome.result;
  record.message = outcome.message;
  record.verified = outcome.verified;
  record.restartSeconds = outcome.restartSeconds;
  records.sinks->event(RunEvent{now, outcome.port, std::move(record)});
  return records.record == nullptr || !records.record->lost(outcome.port);
}

int runUnits(const FirmwareImage& image, const std::vector<std::string>& ports,
             PortTransfer::Setup setup, const RunRecords& records,
             std::vector<PortReservation>& reservations) {
  const bool inPlace = isTerminal(stderr);
  TraceQueue traces;
  if (setup.route != TraceRoute::Events) {
    setup.route = TraceRoute::Prefixed;
    // On a terminal they share, trace lines would break into the block: it prints them.
    if (inPlace && outputsShareTerminal()) setup.route = TraceRoute::Queued;
  }
  setup.queue = &traces;
  std::deque<RunningUnit> units;  // never moved: the transfers refer to their downloaders
  for (const std::string& port : ports) units.emplace_back(image, port, setup);
  for (RunningUnit& unit : units) unit.transfer.start();
  std::vector<UnitOutcome> outcomes;
  {
    MultiUnitDisplay display(stderr, inPlace, ports);
    UnitsWatch(units, display, traces, records, reservations).untilAllEnded();
  }
  for (RunningUnit& unit : units) {
    unit.transfer.join();
    outcomes.push_back(unit.transfer.outcome());
    outcomes.back().unrecorded = unit.unrecorded;
  }
  say(std::string("\n").append(formatSummary(outcomes)));
  const int status = combinedExitStatus(outcomes);
  if (status == kExitUsage) say(std::string(kRecordIncomplete) + "\n");
  return status;
}

}  // namespace quorvel::cli
