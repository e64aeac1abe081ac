#include "serial/network_port.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <span>
#include <thread>

#include "platform/timing.h"
#include "serial/network_port_name.h"
#include "serial/port_report.h"
#include "serial/serial_port.h"
#include "serial/trace.h"

namespace quorvel {
namespace {

constexpr double kMsPerSecond = 1000.0;

NetClock::time_point after(std::uint64_t ms) {
  return NetClock::now() + std::chrono::milliseconds(ms);
}

double seconds(std::uint32_t ms) {
  return ms / kMsPerSecond;
}

// The end of a wait for the server to take bytes: the write's own deadline, or sooner when
// the connection stalls.
NetClock::time_point stallDeadline(NetClock::time_point deadline) {
  return std::min(deadline, after(timing().networkStallTimeoutMs));
}

}  // namespace

bool NetworkPort::open(std::uint32_t baud, const CancelEvent* cancel) {
  reset();
  if (!connect(cancel) || !negotiate(baud, cancel)) {
    socket_.abort();
    return false;
  }
  dropData_ = false;
  serverAcksPurges_ = purgeAnswered_;
  return true;
}

void NetworkPort::reset() {
  socket_.close();
  decoder_ = {};
  negotiation_ = {};
  replies_.clear();
  receivedStart_ = receivedEnd_ = 0;
  broken_ = false;
  dropData_ = true;
  lineRequested_ = false;
  serverAcksPurges_ = false;
  purgeAnswered_ = false;
  purgesAwaited_ = 0;
  speedAnswered_ = false;
  answeredSpeed_ = 0;
  unconfirmedData_ = false;
  failureReason_[0] = '\0';
}

// The same two lines as a local port that does not open: the step, then what it means.
bool NetworkPort::fail(int step, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(failureReason_.data(), failureReason_.size(), format, args);
  va_end(args);
  trace(1, "Open RS232 Error (line %d) !!!!\n", step);
  trace(1, "%s: %s\n", name_.c_str(), failureReason_.data());
  return false;
}

bool NetworkPort::connect(const CancelEvent* cancel) {
  const std::optional<NetworkAddress> address = parseNetworkPortName(name_);
  if (!address) return fail(kStepOpenDevice, "not a name of the form rfc2217://HOST:PORT");
  const std::uint32_t limitMs = timing().networkConnectTimeoutMs;
  switch (socket_.connect(address->host, address->port, after(limitMs), cancel)) {
    case ConnectFailure::None:
      return true;
    case ConnectFailure::NotResolved:
      return fail(kStepOpenDevice, "host name not resolved");
    case ConnectFailure::Refused:
      return fail(kStepOpenDevice, "connection refused (no server listens on that port)");
    case ConnectFailure::Unreachable:
      return fail(kStepOpenDevice, "network or host unreachable");
    case ConnectFailure::TimedOut:
      return fail(kStepOpenDevice, "no connection within %g s", seconds(limitMs));
    case ConnectFailure::Cancelled:
      return fail(kStepOpenDevice, "connection canceled");
    case ConnectFailure::Failed:
      break;
  }
  return fail(kStepOpenDevice, "connection failed");
}

// Options first; once the server takes Com Port Control and binary mode both ways, the line
// settings; done when the server confirms the speed. All within one limit.
bool NetworkPort::negotiate(std::uint32_t baud, const CancelEvent* cancel) {
  const NetClock::time_point deadline = after(timing().networkSpeedConfirmMs);
  negotiation_.start(replies_);
  for (;;) {
    const Setup setup = takeSetupBytes(baud);
    if (setup == Setup::Confirmed) {
      return sendReplies(cancel) || fail(kStepSetState, "the server closed the connection");
    }
    if (setup == Setup::Failed) return setupFailed(setup, baud, NetStatus::Done);
    if (!sendReplies(cancel)) return setupFailed(setup, baud, NetStatus::Closed);
    const NetStatus status = fill(deadline, cancel);
    if (status != NetStatus::Done) return setupFailed(setup, baud, status);
  }
}

NetworkPort::Setup NetworkPort::takeSetupBytes(std::uint32_t baud) {
  while (receivedStart_ < receivedEnd_) {
    std::uint8_t ignored = 0;
    consume(received_[receivedStart_++], ignored);  // nothing is data before the open ends
    if (negotiation_.comPortRefused() || negotiation_.binaryRefused()) return Setup::Failed;
    if (!lineRequested_ && negotiation_.complete()) requestLineSettings(baud);
    // What follows the confirmation stays buffered: it is the instrument's.
    if (speedAnswered_) return answeredSpeed_ == baud ? Setup::Confirmed : Setup::Failed;
  }
  return lineRequested_ ? Setup::SettingLine : Setup::Negotiating;
}

bool NetworkPort::setupFailed(Setup setup, std::uint32_t baud, NetStatus status) {
  // The options are the server's state of the line; the speed is the line settings.
  const int step = setup == Setup::Negotiating ? kStepGetState : kStepSetState;
  const double limit = seconds(timing().networkSpeedConfirmMs);
  if (negotiation_.comPortRefused()) {
    return fail(kStepGetState,
                "no Com Port Control: the server does not offer RFC 2217, so it cannot set the "
                "line speed");
  }
  if (negotiation_.binaryRefused()) return fail(kStepGetState, "the server refused binary mode");
  if (speedAnswered_) {
    return fail(kStepSetState, "speed not confirmed: the server set %lu baud instead of %lu",
                static_cast<unsigned long>(answeredSpeed_), static_cast<unsigned long>(baud));
  }
  switch (status) {
    case NetStatus::Cancelled:
      return fail(step, "connection canceled while it was being set up");
    case NetStatus::TimedOut:
      if (setup == Setup::Negotiating) {
        return fail(step,
                    "no Com Port Control: no answer to the RFC 2217 negotiation within %g s "
                    "(a raw TCP port, or Telnet without RFC 2217?)",
                    limit);
      }
      return fail(step, "speed not confirmed: the server did not confirm %lu baud within %g s",
                  static_cast<unsigned long>(baud), limit);
    default:
      return fail(step, "the server closed the connection");
  }
}

// The purge first: a server that answers it before the speed is one whose purge answers mark
// where old data ends (discardInput). The modem lines and flow control are set without
// waiting for their answers, which some servers never send.
void NetworkPort::requestLineSettings(std::uint32_t baud) {
  using namespace telnet;
  lineRequested_ = true;
  appendComPortCommand(replies_, kPurgeData, kPurgeBothBuffers);
  appendSetBaudRate(replies_, baud);
  appendComPortCommand(replies_, kSetDataSize, kDataSize8);
  appendComPortCommand(replies_, kSetParity, kParityNone);
  appendComPortCommand(replies_, kSetStopSize, kStopSize1);
  appendComPortCommand(replies_, kSetControl, kControlNoFlowControl);
  appendComPortCommand(replies_, kSetControl, kControlNoInboundFlowControl);
  appendComPortCommand(replies_, kSetControl, kControlDtrOn);
  appendComPortCommand(replies_, kSetControl, kControlRtsOff);
}

bool NetworkPort::consume(std::uint8_t byte, std::uint8_t& data) {
  const telnet::Decoder::Event event = decoder_.push(byte);
  switch (event.kind) {
    case telnet::Decoder::Kind::Data:
      if (dropData_ || purgesAwaited_ > 0) return false;
      data = event.value;
      return true;
    case telnet::Decoder::Kind::Negotiation:
      negotiation_.receive(event.value, event.option, replies_);
      return false;
    case telnet::Decoder::Kind::Subnegotiation:
      if (event.option == telnet::kOptionComPort) onComPortAnswer();
      return false;
    case telnet::Decoder::Kind::None:
      break;
  }
  return false;
}

void NetworkPort::onComPortAnswer() {
  telnet::ComPortAnswer answer;
  if (!telnet::parseComPortAnswer(decoder_.payload(), answer)) return;
  if (answer.command == telnet::kPurgeData) {
    purgeAnswered_ = true;
    if (purgesAwaited_ > 0) --purgesAwaited_;
  } else if (answer.command == telnet::kSetBaudRate && lineRequested_ && !speedAnswered_) {
    speedAnswered_ = true;
    answeredSpeed_ = answer.value;
  }
}

std::size_t NetworkPort::takeBuffered(std::uint8_t* out, std::size_t room) {
  std::size_t given = 0;
  while (receivedStart_ < receivedEnd_ && (out == nullptr || given < room)) {
    std::uint8_t data = 0;
    if (consume(received_[receivedStart_++], data) && out != nullptr) out[given++] = data;
  }
  return given;
}

NetStatus NetworkPort::fill(NetClock::time_point deadline, const CancelEvent* cancel) {
  std::size_t got = 0;
  const NetStatus status =
      socket_.receive(received_.data(), received_.size(), got, deadline, cancel);
  receivedStart_ = 0;
  receivedEnd_ = got;
  return status;
}

bool NetworkPort::sendReplies(const CancelEvent* cancel) {
  if (broken_) return false;
  if (replies_.empty()) return true;
  const NetClock::time_point deadline =
      after(std::uint64_t{timing().writeTimeoutPerByteMs} * replies_.size());
  std::size_t sent = 0;
  const NetStatus status = socket_.send(replies_.data(), replies_.size(), sent, deadline, cancel);
  replies_.clear();
  if (status == NetStatus::Done) return true;
  markBroken();
  return false;
}

// The stream may hold half of a doubled byte, and what is still queued must not reach the
// instrument later: the connection is reset and every later call fails, as on a pulled line.
void NetworkPort::markBroken() {
  broken_ = true;
  socket_.abort();
}

std::uint32_t NetworkPort::read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t timeoutMs,
                                const CancelEvent* cancel) {
  const NetClock::time_point deadline = after(timeoutMs);
  std::uint32_t received = 0;
  bool failed = broken_;
  while (!failed && received < count) {
    received += static_cast<std::uint32_t>(takeBuffered(buffer + received, count - received));
    if (received == count) break;
    const NetStatus status = fill(deadline, cancel);
    if (status == NetStatus::Done) continue;
    if (status == NetStatus::TimedOut && purgesAwaited_ > 0) {
      // A server that stops answering purges must not have all data dropped from then on.
      purgesAwaited_ = 0;
      serverAcksPurges_ = false;
    }
    failed = status != NetStatus::TimedOut && status != NetStatus::Cancelled;
    break;
  }
  if (failed) {
    markBroken();
  } else {
    sendReplies(cancel);
  }
  detail::finishRead(buffer, received, count, failed);
  return received;
}

std::uint32_t NetworkPort::sendData(const std::uint8_t* buffer, std::uint32_t count,
                                    NetClock::time_point deadline, const CancelEvent* cancel,
                                    NetStatus& status) {
  std::uint32_t written = 0;
  while (written < count) {
    const std::span<const std::uint8_t> rest(buffer + written, count - written);
    std::size_t consumed = 0;
    const std::size_t size = telnet::escapeData(rest, encoded_, consumed);
    std::size_t sent = 0;
    status = socket_.send(encoded_.data(), size, sent, stallDeadline(deadline), cancel);
    if (status != NetStatus::Done) {
      return written + static_cast<std::uint32_t>(telnet::dataBytesCarried(rest, sent));
    }
    written += static_cast<std::uint32_t>(consumed);
  }
  return written;
}

std::uint32_t NetworkPort::write(const std::uint8_t* buffer, std::uint32_t count,
                                 const CancelEvent* cancel) {
  const NetClock::time_point deadline =
      after(std::uint64_t{timing().writeTimeoutPerByteMs} * count);
  NetStatus status = sendReplies(cancel) ? NetStatus::Done : NetStatus::Failed;
  std::uint32_t written = 0;
  if (status == NetStatus::Done) written = sendData(buffer, count, deadline, cancel, status);
  if (status == NetStatus::Done) {
    std::size_t unsent = 0;
    status = socket_.drain(stallDeadline(deadline), cancel, unsent);
    if (status != NetStatus::Done) written -= std::min<std::uint32_t>(written, unsent);
  }
  if (status != NetStatus::Done) markBroken();
  unconfirmedData_ = true;
  lastWrite_ = NetClock::now();
  detail::finishWrite(buffer, written, count,
                      status == NetStatus::Closed || status == NetStatus::Failed);
  return written;
}

// Ours: whatever has arrived (commands still taken). The server's: a purge of what its line
// has received; when the server answers purges, data that comes before the answer is old.
void NetworkPort::discardInput(const CancelEvent* cancel) {
  if (broken_) return;
  takeBuffered(nullptr, 0);
  // Bounded by a local port's input queue, so that a line that never falls silent cannot hold
  // us here.
  for (std::size_t round = 0; round < kSerialQueueBytes / kReceiveBytes; ++round) {
    const NetStatus status = fill(NetClock::now(), cancel);
    if (status == NetStatus::TimedOut) break;
    if (status != NetStatus::Done) {
      if (status != NetStatus::Cancelled) markBroken();
      return;
    }
    takeBuffered(nullptr, 0);
  }
  telnet::appendComPortCommand(replies_, telnet::kPurgeData, telnet::kPurgeServerReceiveBuffer);
  if (sendReplies(cancel) && serverAcksPurges_) ++purgesAwaited_;
}

// A server may drop what it has not yet handed to its line when the connection ends (ser2net
// does, now and then): the closing order must not be lost that way. The answer to a query
// sent after it means the server has read everything before it; a short linger from the
// last write gives it the time to hand the bytes on.
void NetworkPort::close(const CancelEvent* cancel) {
  if (!broken_ && unconfirmedData_) confirmDelivery(cancel);
  socket_.close();
}

void NetworkPort::confirmDelivery(const CancelEvent* cancel) {
  speedAnswered_ = false;
  telnet::appendSetBaudRate(replies_, telnet::kQueryValue);
  if (!sendReplies(cancel)) return;
  const NetClock::time_point deadline = after(timing().networkDeliveryConfirmMs);
  while (!speedAnswered_) {
    takeBuffered(nullptr, 0);
    if (speedAnswered_ || fill(deadline, cancel) != NetStatus::Done) break;
  }
  unconfirmedData_ = false;
  const NetClock::time_point lingerEnd =
      lastWrite_ + std::chrono::milliseconds(timing().networkCloseLingerMs);
  if (cancel == nullptr) {
    std::this_thread::sleep_until(lingerEnd);
  } else if (NetClock::now() < lingerEnd) {
    cancel->waitFor(static_cast<std::uint32_t>(
        std::chrono::ceil<std::chrono::milliseconds>(lingerEnd - NetClock::now()).count()));
  }
}

}  // namespace quorvel
