#include "serial/telnet_com_port.h"

namespace quorvel::telnet {
namespace {

constexpr std::size_t kBaudRateBytes = 4;
// The highest command of the client that has an answer: PURGE-DATA.
constexpr std::uint8_t kLastCommand = kPurgeData;

std::size_t escapedSize(std::uint8_t byte) {
  return byte == kIac ? 2 : 1;
}

void appendEscaped(std::vector<std::uint8_t>& out, std::uint8_t byte) {
  if (byte == kIac) out.push_back(kIac);
  out.push_back(byte);
}

void beginComPortCommand(std::vector<std::uint8_t>& out, std::uint8_t command) {
  out.insert(out.end(), {kIac, kSubnegotiationBegin, kOptionComPort, command});
}

void endSubnegotiation(std::vector<std::uint8_t>& out) {
  out.insert(out.end(), {kIac, kSubnegotiationEnd});
}

bool isNegotiationVerb(std::uint8_t byte) {
  return byte == kWill || byte == kWont || byte == kDo || byte == kDont;
}

}  // namespace

std::size_t escapeData(std::span<const std::uint8_t> data, std::span<std::uint8_t> out,
                       std::size_t& consumed) {
  std::size_t written = 0;
  std::size_t taken = 0;
  for (; taken < data.size(); ++taken) {
    const std::uint8_t byte = data[taken];
    if (written + escapedSize(byte) > out.size()) break;
    if (byte == kIac) out[written++] = kIac;
    out[written++] = byte;
  }
  consumed = taken;
  return written;
}

std::size_t dataBytesCarried(std::span<const std::uint8_t> data, std::size_t sentBytes) {
  std::size_t carried = 0;
  for (std::size_t used = 0; carried < data.size(); ++carried) {
    used += escapedSize(data[carried]);
    if (used > sentBytes) break;
  }
  return carried;
}

void appendNegotiation(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option) {
  out.insert(out.end(), {kIac, verb, option});
}

void appendComPortCommand(std::vector<std::uint8_t>& out, std::uint8_t command,
                          std::uint8_t value) {
  beginComPortCommand(out, command);
  appendEscaped(out, value);
  endSubnegotiation(out);
}

void appendSetBaudRate(std::vector<std::uint8_t>& out, std::uint32_t baud) {
  beginComPortCommand(out, kSetBaudRate);
  for (std::size_t i = kBaudRateBytes; i-- > 0;) {
    appendEscaped(out, static_cast<std::uint8_t>(baud >> (8 * i)));
  }
  endSubnegotiation(out);
}

Decoder::Event Decoder::push(std::uint8_t byte) {
  switch (state_) {
    case State::Data:
      if (byte == kIac) {
        state_ = State::Command;
        return {};
      }
      return {Kind::Data, byte, 0};
    case State::Command:
      return afterIac(byte);
    case State::Option:
      state_ = State::Data;
      return {Kind::Negotiation, verb_, byte};
    case State::SubOption:
      option_ = byte;
      payloadSize_ = 0;
      state_ = State::SubData;
      return {};
    case State::SubData:
      if (byte == kIac) {
        state_ = State::SubCommand;
      } else {
        keep(byte);
      }
      return {};
    case State::SubCommand:
      if (byte == kIac) {
        keep(byte);
        state_ = State::SubData;
        return {};
      }
      if (byte == kSubnegotiationEnd) {
        state_ = State::Data;
        return {Kind::Subnegotiation, 0, option_};
      }
      // A command where the end should be: the subnegotiation was cut short. It is dropped
      // and the command taken as it stands, so that a lost end never swallows data.
      return afterIac(byte);
  }
  return {};
}

Decoder::Event Decoder::afterIac(std::uint8_t byte) {
  if (byte == kIac) {
    state_ = State::Data;
    return {Kind::Data, kIac, 0};
  }
  if (isNegotiationVerb(byte)) {
    verb_ = byte;
    state_ = State::Option;
    return {};
  }
  // Any other command (no operation, go ahead, data mark, a stray end) carries nothing.
  state_ = byte == kSubnegotiationBegin ? State::SubOption : State::Data;
  return {};
}

void Decoder::keep(std::uint8_t byte) {
  if (payloadSize_ < payload_.size()) payload_[payloadSize_++] = byte;
}

bool parseComPortAnswer(std::span<const std::uint8_t> payload, ComPortAnswer& answer) {
  if (payload.empty() || payload[0] <= kServerAnswerOffset ||
      payload[0] > kServerAnswerOffset + kLastCommand) {
    return false;
  }
  answer.command = static_cast<std::uint8_t>(payload[0] - kServerAnswerOffset);
  const std::span<const std::uint8_t> value = payload.subspan(1);
  if (answer.command == kSetBaudRate) {
    if (value.size() < kBaudRateBytes) return false;
    answer.value = 0;
    for (std::size_t i = 0; i < kBaudRateBytes; ++i) answer.value = (answer.value << 8) | value[i];
    return true;
  }
  if (value.empty()) return false;
  answer.value = value[0];
  return true;
}

void Negotiation::start(std::vector<std::uint8_t>& out) {
  ask(localBinary_, kWill, kOptionBinary, out);
  ask(remoteBinary_, kDo, kOptionBinary, out);
  ask(localComPort_, kWill, kOptionComPort, out);
}

void Negotiation::receive(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
  switch (verb) {
    case kDo:
      onEnable(local(option), kWill, kWont, option, out);
      return;
    case kDont:
      onDisable(local(option), kWont, option, out);
      return;
    case kWill:
      onEnable(remote(option), kDo, kDont, option, out);
      return;
    case kWont:
      onDisable(remote(option), kDont, option, out);
      return;
    default:
      return;
  }
}

bool Negotiation::complete() const {
  return localComPort_.state == State::Yes && localBinary_.state == State::Yes &&
         remoteBinary_.state == State::Yes;
}

bool Negotiation::comPortRefused() const {
  return localComPort_.refused;
}

bool Negotiation::binaryRefused() const {
  return localBinary_.refused || remoteBinary_.refused;
}

void Negotiation::ask(Side& side, std::uint8_t verb, std::uint8_t option,
                      std::vector<std::uint8_t>& out) {
  if (side.state != State::No) return;
  side.state = State::Asked;
  appendNegotiation(out, verb, option);
}

// Every option we do not know lands on other_, which stays off: it is refused each time.
void Negotiation::onEnable(Side& side, std::uint8_t yes, std::uint8_t no, std::uint8_t option,
                           std::vector<std::uint8_t>& out) {
  switch (side.state) {
    case State::No:
      if (&side != &other_) {
        side.state = State::Yes;
        appendNegotiation(out, yes, option);
      } else {
        appendNegotiation(out, no, option);
      }
      return;
    case State::Asked:
      side.state = State::Yes;
      return;
    case State::Yes:
      return;
  }
}

void Negotiation::onDisable(Side& side, std::uint8_t no, std::uint8_t option,
                            std::vector<std::uint8_t>& out) {
  if (side.state == State::No) return;
  if (side.state == State::Yes) appendNegotiation(out, no, option);
  side.state = State::No;
  side.refused = true;
}

Negotiation::Side& Negotiation::local(std::uint8_t option) {
  if (option == kOptionBinary) return localBinary_;
  if (option == kOptionComPort) return localComPort_;
  if (option == kOptionSuppressGoAhead) return localSuppressGoAhead_;
  return other_;
}

Negotiation::Side& Negotiation::remote(std::uint8_t option) {
  if (option == kOptionBinary) return remoteBinary_;
  if (option == kOptionSuppressGoAhead) return remoteSuppressGoAhead_;
  return other_;
}

}  // namespace quorvel::telnet
