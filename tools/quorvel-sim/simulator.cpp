#include "tools/quorvel-sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <utility>

#include "tools/quorvel-sim/modbus_ascii.h"
#include "tools/quorvel-sim/word_image.h"

namespace quorvel::sim {
namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr std::size_t kLoggedFrameBytes = 16;
// Enough to tell an overlong frame from the longest valid one.
constexpr std::size_t kKeptFrameBytes = kMaxFrameBytes + 2;

// The time a real line needs for `bytes` at `baud`.
microseconds wireTime(std::size_t bytes, std::uint32_t baud) {
  return microseconds(static_cast<std::int64_t>(bytes) * kBitsPerByte * 1000000 / baud);
}

double monotonicSeconds(Clock::time_point when) {
  return std::chrono::duration<double>(when.time_since_epoch()).count();
}

// Printable form of line bytes for the log: CR, LF and other controls escaped.
std::string printable(std::string_view bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      std::array<char, 5> escaped{};
      std::snprintf(escaped.data(), escaped.size(), "\\x%02X", c);
      text += escaped.data();
    }
  }
  return text;
}

std::string hexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size() && i < kLoggedFrameBytes; ++i) {
    std::array<char, 4> digits{};
    std::snprintf(digits.data(), digits.size(), "%02X ", bytes[i]);
    text += digits.data();
  }
  if (bytes.size() > kLoggedFrameBytes) text += "...";
  return text;
}

bool writeFile(const std::string& path, const std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

Simulator::Simulator(SimOptions options, std::FILE* log)
    : options_(std::move(options)), log_(log), instrument_(options_) {
  frame_.reserve(kKeptFrameBytes);
}

bool Simulator::open(std::string& error) {
  std::array<int, 2> fds{};
  if (::pipe2(fds.data(), O_NONBLOCK | O_CLOEXEC) != 0) {
    error = std::string("pipe2: ") + std::strerror(errno);
    return false;
  }
  stopRead_.reset(fds[0]);
  stopWrite_.reset(fds[1]);
  if (!line_.open(error)) return false;
  // Non-blocking so that a host which stops reading cannot hang the instrument.
  const int flags = ::fcntl(line_.master(), F_GETFL);
  if (flags < 0 || ::fcntl(line_.master(), F_SETFL, flags | O_NONBLOCK) != 0) {
    error = std::string("fcntl: ") + std::strerror(errno);
    return false;
  }
  if (!options_.linkPath.empty() && !link_.create(options_.linkPath, devicePath(), error)) {
    return false;
  }
  return true;
}

void Simulator::requestStop() const {
  const char byte = 's';
  [[maybe_unused]] const ssize_t ignored = ::write(stopWrite_.get(), &byte, 1);
}

int Simulator::run() {
  deadline_ = Clock::now() + std::chrono::seconds(options_.timeoutS);
  logLine("ready on %s, %s", devicePath().c_str(),
          instrument_.loaderMode() ? "loader mode" : "normal operation");
  while (pollOnce() == Step::Continue) {
  }
  return exitCode_;
}

int Simulator::pollTimeoutMs(Clock::time_point now) const {
  Clock::time_point wake = deadline_;
  if (frameOpen_) wake = std::min(wake, frameLast_ + milliseconds(options_.frameGapMs));
  if (dropAt_) wake = std::min(wake, *dropAt_);
  if (lateAnswer_) wake = std::min(wake, lateAnswer_->due);
  if (restartAt_ && !restarted_) wake = std::min(wake, *restartAt_);
  if (hostAwaitedUntil_) wake = std::min(wake, *hostAwaitedUntil_);
  if (wake <= now) return 0;
  // Rounded up: waking a little late only lengthens the gap, waking early would spin.
  return static_cast<int>(duration_cast<milliseconds>(wake - now + milliseconds(1)).count());
}

Simulator::Step Simulator::pollOnce() {
  std::array<pollfd, 3> fds{{{line_.master(), POLLIN, 0},
                             {line_.openCloseEvents(), POLLIN, 0},
                             {stopRead_.get(), POLLIN, 0}}};
  const int ready = ::poll(fds.data(), fds.size(), pollTimeoutMs(Clock::now()));
  if (ready < 0 && errno != EINTR) {
    logLine("poll failed: %s", std::strerror(errno));
    return finish(kExitFailure);
  }
  const Clock::time_point now = Clock::now();
  if (stopRequested_ || (ready > 0 && (fds[2].revents & POLLIN) != 0)) {
    logLine("stop requested");
    return finish(kExitTerminated);
  }
  if (ready > 0 && fds[1].revents != 0 && noticeHostClose() && restarted_) {
    return finish(kExitDone);
  }
  if (ready > 0 && fds[0].revents != 0 && !readLine(now)) return finish(kExitFailure);
  return onTimers(now);
}

bool Simulator::readLine(Clock::time_point now) {
  const ssize_t n = ::read(line_.master(), readBuffer_.data(), readBuffer_.size());
  if (n > 0) {
    onBytes({readBuffer_.data(), static_cast<std::size_t>(n)}, now);
    return true;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  logLine("line read failed: %s", n == 0 ? "end of file" : std::strerror(errno));
  return false;
}

Simulator::Step Simulator::onTimers(Clock::time_point now) {
  if (dropAt_ && now >= *dropAt_) {
    logLine("dropping the line after sector %u", options_.dropAfterSector);
    line_.drop();
    return finish(kExitLineDropped);
  }
  if (frameOpen_ && now >= frameLast_ + milliseconds(options_.frameGapMs)) {
    if (onLoaderFrameEnd() == Step::Finished) return Step::Finished;
  }
  if (lateAnswer_ && now >= lateAnswer_->due) sendLateAnswer();
  if (restartAt_ && !restarted_ && now >= *restartAt_) restartApplication(now);
  if (hostAwaitedUntil_ && now >= *hostAwaitedUntil_) {
    logLine("the host did not open the port again");
    return finish(kExitDone);
  }
  if (now >= deadline_) {
    logLine("timed out after %u s", options_.timeoutS);
    std::fprintf(stderr, "quorvel-sim: timed out after %u s\n", options_.timeoutS);
    return finish(kExitTimedOut);
  }
  return Step::Continue;
}

void Simulator::onBytes(std::string_view bytes, Clock::time_point now) {
  if (dropAt_) {
    // The host has taken the acknowledgement and starts its next frame: pull the line now.
    dropAt_ = now;
    return;
  }
  if (restartAt_ && !restarted_) {
    logLine("restarting: %zu bytes not heard", bytes.size());
    return;
  }
  std::size_t used = 0;
  while (used < bytes.size() && !instrument_.loaderMode()) onModbusChar(bytes[used++], now);
  if (used < bytes.size()) onLoaderBytes(bytes.substr(used), now);
}

void Simulator::onModbusChar(char c, Clock::time_point now) {
  if (c == kModbusFrameStart) {
    modbusFrame_.assign(1, c);
    modbusStart_ = now;
    return;
  }
  if (modbusFrame_.empty()) return;  // noise between frames
  modbusFrame_ += c;
  if (modbusFrame_.size() > kModbusMaxFrameChars) {
    logLine("Modbus frame too long, discarded");
    modbusFrame_.clear();
  } else if (c == '\n') {
    onModbusFrame();
    modbusFrame_.clear();
  }
}

void Simulator::onModbusFrame() {
  logLine("modbus request %s", printable(modbusFrame_).c_str());
  const ModbusReply reply = instrument_.onModbusFrame(modbusFrame_);
  if (reply.answer.empty()) {
    logLine("modbus no answer (%s)", reply.note.c_str());
  } else if (sendAnswer(reply.answer, modbusStart_, modbusFrame_.size())) {
    logLine("modbus answer sent %s (%s)", printable(reply.answer).c_str(), reply.note.c_str());
  }
  if (reply.enteredLoader) logLine("loader mode");
}

void Simulator::onLoaderBytes(std::string_view bytes, Clock::time_point now) {
  if (!frameOpen_) {
    frameOpen_ = true;
    frameFirst_ = now;
    frameBytes_ = 0;
    frame_.clear();
    logLine("frame start");
  }
  // Bytes beyond the longest possible frame are only counted: such a frame is refused.
  const std::size_t room = kKeptFrameBytes - frame_.size();
  const std::size_t kept = std::min(room, bytes.size());
  frame_.insert(frame_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(kept));
  frameBytes_ += bytes.size();
  frameLast_ = now;
}

Simulator::Step Simulator::onLoaderFrameEnd() {
  frameOpen_ = false;
  ++framesReceived_;
  const LoaderReply reply = instrument_.onLoaderFrame(frame_);
  logLine(
      "frame end: %zu bytes [%s] (first byte %.6f, last byte %.6f), sector %u, address "
      "0x%08X, %zu words, compat 0x%04X: %s",
      frameBytes_, hexBytes(frame_).c_str(), monotonicSeconds(frameFirst_),
      monotonicSeconds(frameLast_), reply.sector, reply.frame.address, reply.frame.words(),
      reply.frame.compat, verdictName(reply.verdict));
  recordTurnaround(reply);
  if (reply.verdict == FrameVerdict::CloseOrder) return onCloseOrder();
  lastAnswerAt_.reset();
  if (reply.answer.empty()) return Step::Continue;
  if (reply.delay > milliseconds(0)) {
    lateAnswer_ =
        LateAnswer{Clock::now() + reply.delay, reply.answer, reply.sector, reply.dropLine};
    logLine("ack of sector %u held back for %lld ms", reply.sector,
            static_cast<long long>(reply.delay.count()));
    return Step::Continue;
  }
  if (sendAnswer(reply.answer, frameFirst_, frameBytes_)) {
    onAnswerSent(reply.answer, reply.sector, reply.dropLine);
  }
  return Step::Continue;
}

void Simulator::onAnswerSent(const std::string& answer, std::uint32_t sector, bool dropLine) {
  lastAnswerAt_ = Clock::now();
  lastAnswer_ = answer[0];
  logLine("ack sent %s (sector %u)", printable(answer).c_str(), sector);
  if (dropLine) dropAt_ = *lastAnswerAt_ + kDropGrace;
}

void Simulator::sendLateAnswer() {
  const LateAnswer late = *lateAnswer_;
  lateAnswer_.reset();
  if (sendAnswer(late.answer, Clock::now(), 0))
    onAnswerSent(late.answer, late.sector, late.dropLine);
}

void Simulator::recordTurnaround(const LoaderReply& reply) {
  if (!lastAnswerAt_) return;
  turnarounds_.push_back({framesReceived_, reply.sector, frameBytes_, lastAnswer_,
                          duration_cast<microseconds>(frameFirst_ - *lastAnswerAt_),
                          duration_cast<microseconds>(frameLast_ - *lastAnswerAt_)});
}

Simulator::Step Simulator::onCloseOrder() {
  logLine("closing order: %zu words received in %zu runs", instrument_.image().wordCount(),
          instrument_.image().runs().size());
  if (!writeDump()) return finish(kExitFailure);
  if (options_.restartMs) {
    restartAt_ = Clock::now() + milliseconds(*options_.restartMs);
    logLine("restarting: the application answers in %u ms", *options_.restartMs);
    return Step::Continue;
  }
  lingerForHostClose();
  return finish(kExitDone);
}

// The restarted instrument answers until the host closes the port it holds, or, when the
// host has it closed, opens and closes it again. A host that does not come back within the
// linger time has no more use for it.
void Simulator::restartApplication(Clock::time_point now) {
  noticeHostClose();  // what the host did before belongs to the transfer
  restarted_ = true;
  instrument_.restart();
  modbusFrame_.clear();
  logLine("restarted: normal operation");
  if (!line_.hostHasPortOpen()) hostAwaitedUntil_ = now + kLingerAfterClose;
}

bool Simulator::sendAnswer(const std::string& answer, Clock::time_point requestStart,
                           std::size_t requestBytes) {
  if (options_.pace) paceAnswer(requestStart, requestBytes, answer.size());
  // As on a real line, what is sent while the port is closed is lost, and whatever a closed
  // port left unread must not precede this answer.
  noticeHostClose();
  if (!line_.hostHasPortOpen()) {
    logLine("the host has the port closed: answer lost");
    return false;
  }
  return writeAll(answer);
}

// A pty delivers at once; a real line is busy for the request's and the answer's wire time.
void Simulator::paceAnswer(Clock::time_point requestStart, std::size_t requestBytes,
                           std::size_t answerBytes) {
  std::uint32_t baud = line_.hostBaud();
  if (baud == 0) baud = instrument_.loaderMode() ? kLoaderDefaultBaud : kModbusDefaultBaud;
  const Clock::time_point requestEnd =
      std::max(Clock::now(), requestStart + wireTime(requestBytes, baud));
  waitUntil(requestEnd + wireTime(answerBytes, baud));
}

bool Simulator::writeAll(std::string_view bytes) {
  const Clock::time_point giveUp = Clock::now() + kAnswerWriteStall;
  while (!bytes.empty()) {
    const ssize_t n = ::write(line_.master(), bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;
    pollfd out{line_.master(), POLLOUT, 0};
    const auto left = duration_cast<milliseconds>(giveUp - Clock::now()).count();
    if (left <= 0 || ::poll(&out, 1, static_cast<int>(left)) == 0) break;
  }
  if (!bytes.empty()) logLine("answer not taken by the host: %zu bytes abandoned", bytes.size());
  return bytes.empty();
}

// Sleeps, but wakes for a stop request so that SIGTERM is never held up by pacing.
void Simulator::waitUntil(Clock::time_point when) {
  for (Clock::time_point now = Clock::now(); now < when && !stopRequested_; now = Clock::now()) {
    pollfd stop{stopRead_.get(), POLLIN, 0};
    const auto left = duration_cast<milliseconds>(when - now + milliseconds(1)).count();
    if (::poll(&stop, 1, static_cast<int>(left)) > 0) stopRequested_ = true;
  }
}

// True when the host closed the port.
bool Simulator::noticeHostClose() {
  const bool closed = line_.takeHostClosed();
  if (line_.hostHasPortOpen()) hostAwaitedUntil_.reset();
  if (!closed) return false;
  const std::size_t discarded = line_.discardUnread();
  logLine("host closed the port%s", discarded > 0 ? "; unread answer discarded" : "");
  return true;
}

void Simulator::lingerForHostClose() {
  const Clock::time_point giveUp = Clock::now() + kLingerAfterClose;
  for (Clock::time_point now = Clock::now(); now < giveUp; now = Clock::now()) {
    line_.takeHostClosed();
    if (!line_.hostHasPortOpen()) return;
    std::array<pollfd, 2> fds{{{line_.openCloseEvents(), POLLIN, 0}, {stopRead_.get(), POLLIN, 0}}};
    const auto left = duration_cast<milliseconds>(giveUp - now + milliseconds(1)).count();
    if (::poll(fds.data(), fds.size(), static_cast<int>(left)) > 0 && fds[1].revents != 0) return;
  }
}

Simulator::Step Simulator::finish(int exitCode) {
  exitCode_ = exitCode;
  if (!writeStats() && exitCode_ == kExitDone) exitCode_ = kExitFailure;
  return Step::Finished;
}

bool Simulator::writeDump() {
  if (options_.dumpPath.empty()) return true;
  const auto hex = toIntelHex(instrument_.image());
  if (!hex) {
    std::fprintf(stderr, "quorvel-sim: the image reaches beyond 4 GiB; no Intel HEX dump\n");
    return false;
  }
  if (!writeFile(options_.dumpPath, *hex)) {
    std::fprintf(stderr, "quorvel-sim: cannot write %s: %s\n", options_.dumpPath.c_str(),
                 std::strerror(errno));
    return false;
  }
  logLine("dump written to %s", options_.dumpPath.c_str());
  return true;
}

bool Simulator::writeStats() {
  if (options_.statsPath.empty()) return true;
  std::string csv = "frame,sector,bytes,previous_answer,ack_to_first_byte_us,ack_to_last_byte_us\n";
  for (const auto& sample : turnarounds_) {
    std::array<char, 160> row{};
    std::snprintf(row.data(), row.size(), "%u,%u,%zu,%c,%lld,%lld\n", sample.frame, sample.sector,
                  sample.bytes, sample.previousAnswer,
                  static_cast<long long>(sample.toFirstByte.count()),
                  static_cast<long long>(sample.toLastByte.count()));
    csv += row.data();
  }
  if (writeFile(options_.statsPath, csv)) return true;
  std::fprintf(stderr, "quorvel-sim: cannot write %s: %s\n", options_.statsPath.c_str(),
               std::strerror(errno));
  return false;
}

void Simulator::logLine(const char* format, ...) const {
  if (!options_.verbose || log_ == nullptr) return;
  std::array<char, 512> message{};
  va_list args;
  va_start(args, format);
  std::vsnprintf(message.data(), message.size(), format, args);
  va_end(args);
  std::fprintf(log_, "quorvel-sim %.6f %s\n", monotonicSeconds(Clock::now()), message.data());
  std::fflush(log_);
}

}  // namespace quorvel::sim
