#include "engine/restart_check.h"

#include <algorithm>
#include <climits>
#include <optional>

#include "engine/downloader.h"
#include "engine/modbus_link.h"
#include "platform/timing.h"
#include "serial/trace.h"

namespace quorvel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::uint32_t msUntil(Clock::time_point end) {
  const auto left = std::chrono::ceil<milliseconds>(end - Clock::now()).count();
  return static_cast<std::uint32_t>(std::clamp<decltype(left)>(left, 0, UINT32_MAX));
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The requests of one check, on a link that is opened again whenever the port went away.
class RestartPoller {
 public:
  RestartPoller(const char* portName, Clock::time_point deadline, const CancelEvent& cancel)
      : portName_(portName), deadline_(deadline), cancel_(cancel) {}

  RestartOutcome run(Clock::time_point goSentAt) {
    // The loader tells the closing order from the start of another frame by the silence
    // after it; the reopen waits too, so that its purge finds "GO" gone from the line.
    const auto quietEnd = std::min(goSentAt + milliseconds(timing().quietAfterGoMs), deadline_);
    if (cancel_.waitFor(msUntil(quietEnd))) return RestartOutcome::Cancelled;
    for (;;) {
      if (cancel_.isSignalled()) return RestartOutcome::Cancelled;
      if (msUntil(deadline_) == 0) return RestartOutcome::NotAnswered;
      if (link_ || openLink()) {
        if (askOnce()) return RestartOutcome::Answered;
      } else if (waitUntil(Clock::now() + milliseconds(timing().restartReopenPauseMs))) {
        return RestartOutcome::Cancelled;
      }
    }
  }

  void closePort() { link_.reset(); }

 private:
  // A port that is not there yet fails again and again: only its first failure is traced.
  bool openLink() {
    link_.emplace();
    link_->setCancelEvent(&cancel_);
    DiscardTraces discard;
    std::optional<ScopedTraceSink> quiet;
    if (openFailed_) quiet.emplace(discard);
    if (link_->open(kInstrumentSlaveAddress, portName_, kModbusBaud)) return true;
    link_.reset();
    openFailed_ = true;
    return false;
  }

  // One request; true for a valid answer. At most one request per read time-out, so that an
  // instrument still starting, which may answer at once with something else, is not
  // flooded; a port whose request could not be written is opened again.
  bool askOnce() {
    const Clock::time_point start = Clock::now();
    const std::uint32_t timeoutMs = std::min(timing().restartReadTimeoutMs, msUntil(deadline_));
    std::uint16_t value = 0;
    const ModbusReply reply = link_->queryHoldingRegister(kLoaderAddressRegister, value, timeoutMs);
    if (reply == ModbusReply::Value) return true;
    if (reply == ModbusReply::NotSent) link_.reset();
    waitUntil(start + milliseconds(timing().restartReadTimeoutMs));
    return false;
  }

  // True when a cancel ended the wait; never beyond the deadline.
  bool waitUntil(Clock::time_point end) {
    return cancel_.waitFor(msUntil(std::min(end, deadline_)));
  }

  const char* portName_;
  Clock::time_point deadline_;
  const CancelEvent& cancel_;
  std::optional<ModbusLink> link_;
  bool openFailed_ = false;
};

}  // namespace

RestartCheckResult awaitRestart(const char* portName, Clock::time_point goSentAt,
                                std::uint32_t limitSeconds, const CancelEvent& cancel,
                                DownloadObserver& observer) {
  limitSeconds = std::clamp(limitSeconds, kRestartLimitMinS, kRestartLimitMaxS);
  observer.restartCheckStarted();
  trace(1, "Waiting for the instrument to restart (at most %u s after GO)\n", limitSeconds);
  const auto limit = milliseconds(std::uint64_t{limitSeconds} * timing().restartLimitSecondMs);
  RestartPoller poller(portName, goSentAt + limit, cancel);
  RestartCheckResult result;
  result.outcome = poller.run(goSentAt);
  result.secondsSinceGo = secondsSince(goSentAt);
  poller.closePort();  // before the outcome is told
  if (result.outcome == RestartOutcome::Answered) {
    trace(1, "The instrument answered %.1f s after GO\n", result.secondsSinceGo);
  } else if (result.outcome == RestartOutcome::NotAnswered) {
    trace(1, "No answer from the instrument %u s after GO\n", limitSeconds);
  }
  observer.restartCheckEnded(result.outcome, result.secondsSinceGo);
  return result;
}

}  // namespace quorvel
