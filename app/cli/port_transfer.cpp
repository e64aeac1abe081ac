#include "app/cli/port_transfer.h"

#include <chrono>
#include <optional>
#include <system_error>

#include "app/cli/cli_options.h"
#include "app/cli/console.h"
#include "serial/line_monitor.h"
#include "serial/trace.h"

namespace quorvel::cli {
namespace {

constexpr const char* kNotStartedMessage = "ERROR : Unable to start the download.";

// The transfer thread's traces: to the transcript, and on along their route.
class PortTraces : public TraceSink {
 public:
  PortTraces(const std::string& port, const PortTransfer::Setup& setup, UnitEvents& events)
      : port_(port), setup_(setup), events_(events) {}

  void write(std::string_view text) override {
    if (setup_.transcript != nullptr) setup_.transcript->traceLine(port_, text);
    switch (setup_.route) {
      case TraceRoute::AsIs:
        writeStandardOutput(text);
        return;
      case TraceRoute::Prefixed:
        writeStandardOutput(prefixLines(port_, text));
        return;
      case TraceRoute::Queued:
        setup_.queue->push(prefixLines(port_, text));
        return;
      case TraceRoute::Events:
        for (std::string& line : traceLines(text)) events_.emit(TraceLine{std::move(line)});
        return;
    }
  }

 private:
  const std::string& port_;
  const PortTransfer::Setup& setup_;
  UnitEvents& events_;
};

// The transfer thread's bytes, both ways, into the transcript.
class PortBytes : public LineMonitor {
 public:
  PortBytes(const std::string& port, Transcript& transcript)
      : port_(port), transcript_(transcript) {}
  void sent(const std::uint8_t* bytes, std::size_t count) override {
    transcript_.bytes(port_, LineDirection::Sent, bytes, count);
  }
  void received(const std::uint8_t* bytes, std::size_t count) override {
    transcript_.bytes(port_, LineDirection::Received, bytes, count);
  }

 private:
  const std::string& port_;
  Transcript& transcript_;
};

UnitState finalState(int result) {
  if (result == Success) return UnitState::Succeeded;
  return result == Cancelled ? UnitState::Cancelled : UnitState::Failed;
}

}  // namespace

std::string prefixLines(const std::string& port, std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (!line.empty()) out.append(port).append(": ").append(line).append("\n");
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

void TraceQueue::push(const std::string& text) {
  if (text.empty()) return;
  {
    std::lock_guard lock(mutex_);
    pending_ += text;
  }
  wakeMainThread();
}

std::string TraceQueue::takeAll() {
  std::lock_guard lock(mutex_);
  return std::exchange(pending_, std::string());
}

void UnitWatch::event(const RunEvent& event) {
  if (std::holds_alternative<EntryAttempt>(event.detail)) {
    state_ = UnitState::EnteringLoader;
  } else if (const auto* sectorTry = std::get_if<SectorTry>(&event.detail)) {
    sector_ = sectorTry->sector;
    attempt_ = sectorTry->attempt;
    if (sectorTry->attempt > 1) ++retries_;
    state_ = sectorTry->attempt > 1 ? UnitState::Retrying : UnitState::Sending;
  } else if (const auto* answered = std::get_if<SectorAnswered>(&event.detail)) {
    if (answered->answer.kind == AnswerKind::Acknowledged) {
      acknowledged_ = answered->sectorTry.sector;
    }
  } else if (std::holds_alternative<RestartCheckBegun>(event.detail)) {
    state_ = UnitState::Verifying;
    if (wake_ != nullptr) wake_();
  }
}

UnitWatch::Counts UnitWatch::counts() const {
  return {state_.load(), sector_.load(), attempt_.load(), acknowledged_.load(), retries_.load()};
}

void UnitEvents::emit(RunEventDetail detail) {
  sinks_.event(RunEvent{std::chrono::system_clock::now(), port_, std::move(detail)});
}

void UnitEvents::loaderEntryAttempt(std::uint32_t attempt) {
  emit(EntryAttempt{attempt});
}

void UnitEvents::loaderEntryEnded(LoaderEntryOutcome outcome) {
  emit(LoaderEntered{outcome});
}

void UnitEvents::sectorTry(const SectorTry& sectorTry) {
  emit(sectorTry);
}

void UnitEvents::sectorAnswer(const SectorTry& sectorTry, const SectorAnswer& answer) {
  emit(SectorAnswered{sectorTry, answer});
}

void UnitEvents::restartCheckStarted() {
  emit(RestartCheckBegun{});
}

void UnitEvents::restartCheckEnded(RestartOutcome outcome, double secondsSinceGo) {
  emit(RestartChecked{outcome, secondsSinceGo});
}

void UnitEvents::post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (message == WM_DOWNLOAD_PROGRESS) emit(ProgressMade{static_cast<unsigned>(wParam)});
  progress_.post(message, wParam, lParam);
}

int finishedResult(bool succeeded, std::int32_t result) {
  if (succeeded) return Success;
  const bool known = result == PortNotOpened || result == FilesCorrupted ||
                     result == TransferFailed || result == Cancelled ||
                     result == NoAnswerAfterUpgrade;
  // A failed run must never count as a success, whatever its result says.
  return known ? result : kExitInternal;
}

PortTransfer::PortTransfer(Downloader& downloader, std::string port, Setup setup)
    : downloader_(downloader),
      port_(std::move(port)),
      setup_(setup),
      channel_(wakeMainThread),
      watch_(wakeMainThread),
      sinks_{&watch_},
      events_(port_, sinks_, channel_) {
  sinks_.add(setup_.events);
  downloader_.setPortName(port_.c_str());
}

PortTransfer::~PortTransfer() {
  if (!thread_.joinable()) return;
  downloader_.cancelEvent().signal();  // only when left early: nothing may outlive us
  thread_.join();
}

bool PortTransfer::start() {
  try {
    thread_ = std::thread([this] { run(); });
    return true;
  } catch (const std::system_error&) {
    notStarted_ = true;
    channel_.post(WM_DOWNLOAD_END, 0, 0);
    return false;
  }
}

void PortTransfer::join() {
  if (thread_.joinable()) thread_.join();
}

void PortTransfer::run() {
  PortTraces traces(port_, setup_, events_);
  ScopedTraceSink traceScope(traces);
  std::optional<PortBytes> bytes;
  std::optional<ScopedLineMonitor> byteScope;
  if (setup_.transcript != nullptr) {
    bytes.emplace(port_, *setup_.transcript);
    byteScope.emplace(*bytes);
  }
  const auto start = std::chrono::steady_clock::now();
  succeeded_ = downloader_.runDownload(events_, WM_DOWNLOAD_PROGRESS, &events_);
  seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (setup_.verifyLimitSeconds) {
    verified_ = succeeded_ && downloader_.checkRestart(*setup_.verifyLimitSeconds, &events_);
    if (*verified_) restartSeconds_ = downloader_.restartSeconds();
    succeeded_ = succeeded_ && *verified_;
  }
  channel_.post(WM_DOWNLOAD_END, succeeded_ ? 1 : 0, 0);  // last: the main thread reads on
}

UnitOutcome PortTransfer::outcome() const {
  UnitOutcome outcome;
  outcome.port = port_;
  outcome.result = kExitInternal;
  outcome.message = kNotStartedMessage;
  if (notStarted_) return outcome;
  outcome.result = finishedResult(succeeded_, downloader_.result());
  // The downloader's own text also tells a cancel after the whole image was sent.
  outcome.message = outcome.result == downloader_.result() ? downloader_.resultMessage()
                                                           : resultMessageFor(outcome.result);
  if (restartSeconds_)
    outcome.message.append("\n").append(restartAnsweredMessage(*restartSeconds_));
  const UnitWatch::Counts counts = watch_.counts();
  outcome.sectors = counts.acknowledged;
  outcome.retries = counts.retries;
  outcome.seconds = seconds_;
  outcome.verified = verified_;
  outcome.restartSeconds = restartSeconds_;
  return outcome;
}

UnitProgress PortTransfer::progress() const {
  const ProgressChannel::Snapshot snapshot = channel_.snapshot();
  const UnitWatch::Counts counts = watch_.counts();
  const UnitState state = snapshot.ended ? finalState(outcome().result) : counts.state;
  return {port_, snapshot.percent, counts.sector, counts.attempt, state};
}

}  // namespace quorvel::cli
