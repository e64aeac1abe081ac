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
  PortTraces(const std::string& port, const PortTransfer::Outputs& outputs)
      : port_(port), outputs_(outputs) {}

  void write(std::string_view text) override {
    if (outputs_.transcript != nullptr) outputs_.transcript->traceLine(port_, text);
    switch (outputs_.route) {
      case TraceRoute::AsIs:
        writeStandardOutput(text);
        return;
      case TraceRoute::Prefixed:
        writeStandardOutput(prefixLines(port_, text));
        return;
      case TraceRoute::Queued:
        outputs_.queue->push(prefixLines(port_, text));
        return;
    }
  }

 private:
  const std::string& port_;
  const PortTransfer::Outputs& outputs_;
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

void UnitWatch::loaderEntryStarted() {
  state_ = UnitState::EnteringLoader;
}

void UnitWatch::sectorTry(const SectorTry& sectorTry) {
  sector_ = sectorTry.sector;
  attempt_ = sectorTry.attempt;
  if (sectorTry.attempt > 1) ++retries_;
  state_ = sectorTry.attempt > 1 ? UnitState::Retrying : UnitState::Sending;
}

void UnitWatch::sectorAcknowledged(std::uint32_t sector) {
  acknowledged_ = sector;
}

UnitWatch::Counts UnitWatch::counts() const {
  return {state_.load(), sector_.load(), attempt_.load(), acknowledged_.load(), retries_.load()};
}

int finishedResult(bool succeeded, std::int32_t result) {
  if (succeeded) return Success;
  const bool known = result == PortNotOpened || result == FilesCorrupted ||
                     result == TransferFailed || result == Cancelled;
  // A failed run must never count as a success, whatever its result says.
  return known ? result : kExitInternal;
}

PortTransfer::PortTransfer(Downloader& downloader, std::string port, Outputs outputs)
    : downloader_(downloader), port_(std::move(port)), outputs_(outputs), channel_(wakeMainThread) {
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
  PortTraces traces(port_, outputs_);
  ScopedTraceSink traceScope(traces);
  std::optional<PortBytes> bytes;
  std::optional<ScopedLineMonitor> byteScope;
  if (outputs_.transcript != nullptr) {
    bytes.emplace(port_, *outputs_.transcript);
    byteScope.emplace(*bytes);
  }
  const auto start = std::chrono::steady_clock::now();
  succeeded_ = downloader_.runDownload(channel_, WM_DOWNLOAD_PROGRESS, &watch_);
  seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  channel_.post(WM_DOWNLOAD_END, succeeded_ ? 1 : 0, 0);  // last: the main thread reads on
}

UnitOutcome PortTransfer::outcome() const {
  if (notStarted_) return {port_, kExitInternal, kNotStartedMessage, 0, 0, 0};
  const int result = finishedResult(succeeded_, downloader_.result());
  const UnitWatch::Counts counts = watch_.counts();
  return {port_, result, resultMessageFor(result), counts.acknowledged, counts.retries, seconds_};
}

UnitProgress PortTransfer::progress() const {
  const ProgressChannel::Snapshot snapshot = channel_.snapshot();
  const UnitWatch::Counts counts = watch_.counts();
  const UnitState state = snapshot.ended ? finalState(outcome().result) : counts.state;
  return {port_, snapshot.percent, counts.sector, counts.attempt, state};
}

}  // namespace quorvel::cli
