// Any bytes received from a serial device server, given to the Telnet decoder and the option
// negotiation: no access outside the buffers, at most one reply per negotiation, and no data
// byte lost or invented. For the last, the input also makes a stream of its own: its first
// part as data, doubled where it is 0xFF, with commands made of its second part put between
// the data bytes; the decoder must give back exactly the first part.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "serial/telnet_com_port.h"

namespace {

using namespace quorvel::telnet;

constexpr std::size_t kNegotiationBytes = 3;  // IAC, verb, option
constexpr std::uint8_t kNoOperation = 241;
constexpr std::size_t kMaxMadePayload = 8;

void decodeAnything(std::span<const std::uint8_t> input) {
  Decoder decoder;
  Negotiation negotiation;
  std::vector<std::uint8_t> replies;
  for (std::uint8_t byte : input) {
    const Decoder::Event event = decoder.push(byte);
    if (event.kind == Decoder::Kind::Negotiation) {
      const std::size_t before = replies.size();
      negotiation.receive(event.value, event.option, replies);
      if (replies.size() - before > kNegotiationBytes) __builtin_trap();
    } else if (event.kind == Decoder::Kind::Subnegotiation) {
      if (decoder.payload().size() > Decoder::kMaxPayloadBytes) __builtin_trap();
      ComPortAnswer answer;
      parseComPortAnswer(decoder.payload(), answer);
    }
  }
}

// One command made of the script's next bytes, appended to `stream`.
void appendCommand(std::span<const std::uint8_t>& script, std::vector<std::uint8_t>& stream) {
  const std::uint8_t choice = script.front();
  script = script.subspan(1);
  switch (choice % 4) {
    case 1:
      appendNegotiation(stream, static_cast<std::uint8_t>(kWill + choice % 4),
                        script.empty() ? 0 : script.front());
      return;
    case 2: {
      stream.insert(stream.end(), {kIac, kSubnegotiationBegin, kOptionComPort});
      const std::size_t length = std::min(script.size(), std::size_t{choice % kMaxMadePayload});
      std::vector<std::uint8_t> payload(2 * length);
      std::size_t consumed = 0;
      payload.resize(escapeData(script.first(length), payload, consumed));
      stream.insert(stream.end(), payload.begin(), payload.end());
      stream.insert(stream.end(), {kIac, kSubnegotiationEnd});
      script = script.subspan(length);
      return;
    }
    case 3:
      stream.insert(stream.end(), {kIac, kNoOperation});
      return;
    default:
      return;
  }
}

void roundTrip(std::span<const std::uint8_t> input) {
  if (input.empty()) return;
  const std::size_t dataBytes = input.front() % input.size();
  const std::span<const std::uint8_t> data = input.subspan(1, dataBytes);
  std::span<const std::uint8_t> script = input.subspan(1 + dataBytes);
  std::vector<std::uint8_t> stream;
  for (std::uint8_t byte : data) {
    if (!script.empty()) appendCommand(script, stream);
    if (byte == kIac) stream.push_back(kIac);
    stream.push_back(byte);
  }
  Decoder decoder;
  std::vector<std::uint8_t> decoded;
  for (std::uint8_t byte : stream) {
    const Decoder::Event event = decoder.push(byte);
    if (event.kind == Decoder::Kind::Data) decoded.push_back(event.value);
  }
  if (decoded.size() != data.size() || !std::equal(decoded.begin(), decoded.end(), data.begin())) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  decodeAnything(input);
  roundTrip(input);
  return 0;
}
