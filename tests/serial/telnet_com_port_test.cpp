// The Telnet and Com Port Control coding of the network port, without a network.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "serial/telnet_com_port.h"

namespace quorvel::telnet {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Decoded {
  Bytes data;
  std::vector<std::pair<std::uint8_t, std::uint8_t>> negotiations;  // verb, option
  std::vector<Bytes> payloads;                                      // of the Com Port option
};

Decoded decode(const Bytes& stream) {
  Decoded out;
  Decoder decoder;
  for (std::uint8_t byte : stream) {
    const Decoder::Event event = decoder.push(byte);
    if (event.kind == Decoder::Kind::Data) out.data.push_back(event.value);
    if (event.kind == Decoder::Kind::Negotiation)
      out.negotiations.emplace_back(event.value, event.option);
    if (event.kind == Decoder::Kind::Subnegotiation) {
      out.payloads.emplace_back(decoder.payload().begin(), decoder.payload().end());
    }
  }
  return out;
}

Bytes decodeInput(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Bytes escaped(const Bytes& data) {
  Bytes out(2 * data.size());
  std::size_t consumed = 0;
  out.resize(escapeData(data, out, consumed));
  EXPECT_EQ(consumed, data.size());
  return out;
}

// Data of every value, 0xFF most of all, with every kind of command put between its bytes
// at random: the decoder gives back exactly the data and every command's content.
TEST(TelnetCoding, DataSurvivesAnyMixOfCommands) {
  std::mt19937 random(2217);
  for (int round = 0; round < 300; ++round) {
    Bytes data(random() % 64);
    for (std::uint8_t& byte : data)
      byte = random() % 3 == 0 ? kIac : static_cast<std::uint8_t>(random());
    Bytes stream;
    Decoded expected;
    expected.data = data;
    for (std::uint8_t byte : data) {
      switch (random() % 5) {
        case 0: {
          const std::uint8_t verb = static_cast<std::uint8_t>(kWill + random() % 4);
          const std::uint8_t option = static_cast<std::uint8_t>(random());
          appendNegotiation(stream, verb, option);
          expected.negotiations.emplace_back(verb, option);
          break;
        }
        case 1: {
          const std::uint32_t baud = static_cast<std::uint32_t>(random()) | 0xFF00u;
          appendSetBaudRate(stream, baud);
          expected.payloads.push_back({kSetBaudRate, static_cast<std::uint8_t>(baud >> 24),
                                       static_cast<std::uint8_t>(baud >> 16), 0xFF,
                                       static_cast<std::uint8_t>(baud)});
          break;
        }
        case 2:
          stream.insert(stream.end(), {kIac, 241, kIac, 249});  // no operation, go ahead
          break;
        default:
          break;
      }
      const Bytes one = escaped({byte});
      stream.insert(stream.end(), one.begin(), one.end());
    }
    const Decoded got = decode(stream);
    ASSERT_EQ(got.data, expected.data) << "round " << round;
    ASSERT_EQ(got.negotiations, expected.negotiations) << "round " << round;
    ASSERT_EQ(got.payloads, expected.payloads) << "round " << round;
  }
}

// A subnegotiation cut short by another command, and one longer than the decoder keeps:
// neither swallows the data after it.
TEST(TelnetCoding, BrokenOrLongSubnegotiationsLoseNoData) {
  const std::string longPayload(40, 'x');
  const Bytes stream = decodeInput(
      "a\xFF\xFA\x2C\x65\x01\xFF\xFB\x03"
      "b\xFF\xFA\x00" +
      longPayload +
      "\xFF\xF0"
      "c");
  const Decoded got = decode(stream);
  EXPECT_EQ(got.data, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(got.negotiations.size(), 1u);
  ASSERT_EQ(got.payloads.size(), 1u);
  EXPECT_EQ(got.payloads[0].size(), Decoder::kMaxPayloadBytes);
}

// Escaping in pieces never splits a doubled byte, and tells how much of the data a partly
// sent piece carries.
TEST(TelnetCoding, EscapingInPiecesKeepsPairsWhole) {
  const Bytes data = {1, kIac, 2, kIac, kIac};
  Bytes out(5);
  std::size_t consumed = 0;
  EXPECT_EQ(escapeData(data, out, consumed), 4u);  // 1, IAC IAC, 2: the next pair does not fit
  EXPECT_EQ(consumed, 3u);
  EXPECT_EQ(dataBytesCarried(data, 2), 1u);  // half a pair carries nothing
  EXPECT_EQ(dataBytesCarried(data, 3), 2u);
  EXPECT_EQ(dataBytesCarried(data, 8), 5u);
}

TEST(TelnetCoding, ComPortAnswers) {
  ComPortAnswer answer;
  ASSERT_TRUE(parseComPortAnswer(Bytes{101, 0, 1, 0xC2, 0}, answer));
  EXPECT_EQ(answer.command, kSetBaudRate);
  EXPECT_EQ(answer.value, 115200u);
  ASSERT_TRUE(parseComPortAnswer(Bytes{112, 1}, answer));
  EXPECT_EQ(answer.command, kPurgeData);
  EXPECT_FALSE(parseComPortAnswer(Bytes{101, 0, 1}, answer));  // cut short
  EXPECT_FALSE(parseComPortAnswer(Bytes{100, 'x'}, answer));   // a signature
  EXPECT_FALSE(parseComPortAnswer(Bytes{1, 8}, answer));       // a command, not an answer
}

// What a server says at the start, and what we answer: binary both ways and Com Port Control
// taken, suppress-go-ahead accepted, echo and anything unknown refused, nothing twice.
TEST(TelnetCoding, NegotiationWithADeviceServer) {
  Negotiation negotiation;
  Bytes out;
  negotiation.start(out);
  EXPECT_EQ(out, (Bytes{kIac, kWill, kOptionBinary, kIac, kDo, kOptionBinary, kIac, kWill,
                        kOptionComPort}));
  out.clear();
  // A greeting as a server sends it: WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY,
  // WILL BINARY, DO COM-PORT-OPTION, and an unknown option asked twice.
  const Bytes greeting = {kIac, kWill, 3,  kIac, kDo, 3,  kIac, kWill, 1,
                          kIac, kDont, 1,  kIac, kDo, 0,  kIac, kWill, 0,
                          kIac, kDo,   44, kIac, kDo, 24, kIac, kDo,   24};
  for (const auto& [verb, option] : decode(greeting).negotiations) {
    negotiation.receive(verb, option, out);
  }
  EXPECT_TRUE(negotiation.complete());
  EXPECT_FALSE(negotiation.comPortRefused() || negotiation.binaryRefused());
  EXPECT_EQ(
      out, (Bytes{kIac, kDo, 3, kIac, kWill, 3, kIac, kDont, 1, kIac, kWont, 24, kIac, kWont, 24}));

  Negotiation refused;
  out.clear();
  refused.start(out);
  refused.receive(kDont, kOptionComPort, out);
  refused.receive(kWont, kOptionBinary, out);
  EXPECT_TRUE(refused.comPortRefused());
  EXPECT_TRUE(refused.binaryRefused());
  EXPECT_FALSE(refused.complete());
}

}  // namespace
}  // namespace quorvel::telnet
