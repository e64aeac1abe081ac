// The instrument's protocol logic, options, image and Intel HEX, without any I/O.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tools/sim_test_support.h"
#include "tools/quorvel-sim/instrument.h"
#include "tools/quorvel-sim/modbus_ascii.h"
#include "tools/quorvel-sim/sim_options.h"
#include "tools/quorvel-sim/word_image.h"

namespace quorvel::sim {
namespace {

using test::sectorFrame;

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

SimOptions parsed(std::vector<std::string> args) {
  SimOptions options;
  std::string error;
  EXPECT_EQ(parseSimOptions(args, options, error), ParseOutcome::Run) << error;
  return options;
}

const std::string kReadRequest = ":0103001C0001DF\r\n";
const std::string kDownloadOrder = ":010601010001F6\r\n";

TEST(SimModbusAscii, EncodesTheHostsRequestAndTheAnswer) {
  EXPECT_EQ(encodeModbusAscii({0x01, 0x03, 0x00, 0x1C, 0x00, 0x01}, HexCase::Upper), kReadRequest);
  EXPECT_EQ(encodeModbusAscii({0x01, 0x03, 0x02, 0xAB, 0xCD}, HexCase::Lower), ":010302abcd82\r\n");
}

TEST(SimModbusAscii, DecodeRefusesDamagedFrames) {
  struct Case {
    const char* name;
    std::string frame;
  };
  const std::vector<Case> cases{
      {"bad LRC", ":0103001C0001DE\r\n"},
      {"no colon", "0103001C0001DF\r\n"},
      {"no CR", ":0103001C0001DF\n"},
      {"no LF", ":0103001C0001DF\r"},
      {"odd digits", ":0103001C0001D\r\n"},
      {"bad digit", ":0103001G0001DF\r\n"},
      {"too short", ":F\r\n"},
  };
  for (const auto& c : cases) EXPECT_FALSE(decodeModbusAscii(c.frame)) << c.name;
  const auto request = decodeModbusAscii(":0103001c0001df\r\n");
  ASSERT_TRUE(request) << "a slave accepts lower-case digits";
  EXPECT_EQ(*request, (std::vector<std::uint8_t>{0x01, 0x03, 0x00, 0x1C, 0x00, 0x01}));
}

// The configured answers are checked over the pty; these are the requests it refuses.
TEST(SimInstrument, RefusesOrIgnoresOtherModbusRequests) {
  struct Case {
    std::vector<std::string> args;
    std::string request;
    std::string answer;  // empty: silence
  };
  const std::vector<Case> cases{
      {{}, ":0203001C0001DE\r\n", ""},               // another slave's request
      {{}, ":0103001C0001DE\r\n", ""},               // bad LRC
      {{}, ":0103001D0001DE\r\n", ":0183027A\r\n"},  // unknown register
      {{}, ":0104001C0001DE\r\n", ":0184017A\r\n"},  // unknown function
      {{}, kDownloadOrder, kDownloadOrder},          // write echoed
  };
  for (const auto& c : cases) {
    Instrument instrument(parsed(c.args));
    EXPECT_EQ(instrument.onModbusFrame(c.request).answer, c.answer)
        << ::testing::PrintToString(c.args) << " " << c.request;
  }
}

TEST(SimInstrument, OnlyTheDownloadOrderAtValuePlusOneStartsTheLoader) {
  struct Case {
    std::vector<std::string> args;
    std::string write;
    bool loader;
  };
  const std::vector<Case> cases{
      {{}, kDownloadOrder, true},
      {{}, ":010601020001F5\r\n", false},                             // wrong register
      {{}, ":010601010002F5\r\n", false},                             // wrong value
      {{"--register-value", "0xFFFF"}, ":010600000001F8\r\n", true},  // wraps to 0
      {{"--modbus-exception"}, kDownloadOrder, false},
  };
  for (const auto& c : cases) {
    Instrument instrument(parsed(c.args));
    const ModbusReply reply = instrument.onModbusFrame(c.write);
    EXPECT_EQ(instrument.loaderMode(), c.loader) << c.write;
    EXPECT_EQ(reply.enteredLoader, c.loader) << c.write;
  }
  EXPECT_TRUE(Instrument(parsed({"--silent-modbus"})).loaderMode());
}

// Further verdicts (good, no data, odd, short, compat mismatch) are checked over the pty.
TEST(SimInstrument, JudgesSectorFrames) {
  const std::string good = sectorFrame(0x12000, {0x1234, 0xABCD}, 0x0102);
  std::string badChecksum = good;
  badChecksum[8] = 0x02;
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string frame;
    FrameVerdict verdict;
    std::string answer;
  };
  const std::vector<Case> cases{
      {"one-byte ack", {"--ack-bytes", "1"}, good, FrameVerdict::Accepted, "G"},
      {"bad checksum", {}, badChecksum, FrameVerdict::BadChecksum, "B\r"},
      {"too long",
       {},
       sectorFrame(0, std::vector<std::uint16_t>(31996, 1), 0),
       FrameVerdict::BadLength,
       "B\r"},
      {"compat expected", {"--expect-compat", "0x0102"}, good, FrameVerdict::Accepted, "G\r"},
      {"closing order", {}, "GO", FrameVerdict::CloseOrder, ""},
      {"Modbus request", {}, kReadRequest, FrameVerdict::ModbusIgnored, ""},
  };
  for (const auto& c : cases) {
    Instrument instrument(parsed(c.args));
    const LoaderReply reply = instrument.onLoaderFrame(bytesOf(c.frame));
    EXPECT_EQ(reply.verdict, c.verdict) << c.name;
    EXPECT_EQ(reply.answer, c.answer) << c.name;
  }
  EXPECT_EQ(sectorFrame(0x12000, {0x1234, 0xABCD}, 0x0102),
            std::string("\x01\x00\x00\x20\x34\x12\xCD\xAB\x01\xBE\x00\x00\x02\x01", 14));
}

TEST(SimInstrument, LargestFrameIsAccepted) {
  Instrument instrument(parsed({}));
  const std::string frame = sectorFrame(0, std::vector<std::uint16_t>(31995, 0xFFFF), 1);
  EXPECT_EQ(instrument.onLoaderFrame(bytesOf(frame)).verdict, FrameVerdict::Accepted);
  EXPECT_EQ(instrument.image().wordCount(), 31995u);
}

// Each arrival of a frame is answered in turn; the letters are the first answer bytes,
// '-' for silence.
std::string answersTo(const std::vector<std::string>& args, int arrivals) {
  Instrument instrument(parsed(args));
  std::string answers;
  for (int i = 0; i < arrivals; ++i) {
    const std::string frame =
        sectorFrame(0x100 * instrument.currentSector(), {std::uint16_t(i)}, 0);
    const LoaderReply reply = instrument.onLoaderFrame(bytesOf(frame));
    answers += reply.answer.empty() ? '-' : reply.answer[0];
  }
  return answers;
}

TEST(SimInstrument, InjectsFaultsIntoTheNamedSectorOnly) {
  EXPECT_EQ(answersTo({"--reject-sector", "2"}, 4), "GBGG");
  EXPECT_EQ(answersTo({"--reject-sector", "2:3"}, 6), "GBBBGG");
  EXPECT_EQ(answersTo({"--reject-sector", "1", "--reject-sector", "3:2"}, 6), "BGGBBG");
  EXPECT_EQ(answersTo({"--silent-sector", "1:2"}, 3), "--G");
  EXPECT_EQ(answersTo({"--garbage-sector", "2"}, 3), "GXG");
  EXPECT_EQ(answersTo({"--silent-sector", "1", "--reject-sector", "1"}, 3), "-BG");
}

TEST(SimInstrument, DropsTheLineAfterTheNamedSectorIsAccepted) {
  Instrument instrument(parsed({"--drop-after-sector", "2", "--reject-sector", "2"}));
  auto send = [&] {
    const std::string frame = sectorFrame(instrument.currentSector(), {1, 2}, 0);
    return instrument.onLoaderFrame(bytesOf(frame)).dropLine;
  };
  EXPECT_FALSE(send());  // sector 1
  EXPECT_FALSE(send());  // sector 2 rejected
  EXPECT_TRUE(send());   // sector 2 accepted
}

TEST(SimInstrument, StoresAcceptedSectorsByWordAddressAndRetriesOverwrite) {
  Instrument instrument(parsed({"--reject-sector", "1"}));
  instrument.onLoaderFrame(bytesOf(sectorFrame(0x12000, {1, 2}, 0)));  // rejected
  instrument.onLoaderFrame(bytesOf(sectorFrame(0x12000, {3, 4}, 0)));  // accepted
  instrument.onLoaderFrame(bytesOf(sectorFrame(0x12000, {5, 6}, 0)));  // sector 2, same place
  ASSERT_EQ(instrument.image().runs().size(), 1u);
  EXPECT_EQ(instrument.image().runs().begin()->first, 0x12000u);
  EXPECT_EQ(instrument.image().runs().begin()->second, (std::vector<std::uint16_t>{5, 6}));
}

TEST(SimWordImage, MergesOverlappingAndTouchingRuns) {
  WordImage image;
  const std::vector<std::uint16_t> a{1, 2, 3}, b{9, 9}, c{7}, d{5};
  image.write(10, a);  // 10..12
  image.write(20, d);  // apart
  image.write(13, c);  // touches the end of the first run
  image.write(9, b);   // overlaps its start
  ASSERT_EQ(image.runs().size(), 2u);
  EXPECT_EQ(image.runs().at(9), (std::vector<std::uint16_t>{9, 9, 2, 3, 7}));
  EXPECT_EQ(image.runs().at(20), (std::vector<std::uint16_t>{5}));
  image.write(8, std::vector<std::uint16_t>(14, 0));  // swallows both
  ASSERT_EQ(image.runs().size(), 1u);
  EXPECT_EQ(image.wordCount(), 14u);
}

TEST(SimIntelHex, WritesWordsLowByteFirstAtTwiceTheWordAddress) {
  WordImage image;
  image.write(0x12000, std::vector<std::uint16_t>{0x1234, 0xABCD});
  EXPECT_EQ(*toIntelHex(image),
            ":020000040002F8\n"
            ":044000003412CDABFE\n"
            ":00000001FF\n");
}

TEST(SimIntelHex, SplitsRecordsAtSixteenBytesAndAtSegmentBoundaries) {
  WordImage image;
  std::vector<std::uint16_t> words(12);
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(i);
  image.write(0x7FFC, words);  // bytes 0xFFF8 .. 0x1000F
  EXPECT_EQ(*toIntelHex(image),
            ":08FFF8000000010002000300FB\n"
            ":020000040001F9\n"
            ":100000000400050006000700080009000A000B00B4\n"
            ":00000001FF\n");
}

TEST(SimIntelHex, RefusesDataBeyondFourGibibytes) {
  WordImage fits;
  fits.write(0x7FFFFFFF, std::vector<std::uint16_t>{0xBEEF});
  EXPECT_TRUE(toIntelHex(fits));
  WordImage beyond;
  beyond.write(0x7FFFFFFF, std::vector<std::uint16_t>{1, 2});
  EXPECT_FALSE(toIntelHex(beyond));
}

TEST(SimOptions, ParsesValuesAndRefusesNonsense) {
  const SimOptions o =
      parsed({"--link", "/tmp/x", "--register-value=0x10", "--expect-compat", "258", "--ack-bytes",
              "1", "--reject-sector", "3:2", "--silent-sector", "4", "-v", "--timeout", "010",
              "--restart-ms", "0"});
  EXPECT_EQ(o.linkPath, "/tmp/x");
  EXPECT_EQ(o.registerValue, 0x10);
  EXPECT_TRUE(o.expectCompat);
  EXPECT_EQ(o.expectedCompat, 258);
  EXPECT_EQ(o.ackBytes, 1);
  EXPECT_EQ(o.rejectSectors.at(3), 2u);
  EXPECT_EQ(o.silentSectors.at(4), 1u);
  EXPECT_TRUE(o.verbose);
  EXPECT_EQ(o.timeoutS, 10u) << "no octal";
  EXPECT_EQ(o.restartMs, 0u);
  EXPECT_FALSE(parsed({}).restartMs) << "no restart unless asked";

  const std::vector<std::vector<std::string>> bad{
      {"--ack-bytes", "3"},
      {"--register-value", "0x10000"},
      {"--reject-sector", "0"},
      {"--reject-sector", "2:0"},
      {"--reject-sector", "2:"},
      {"--timeout", "0"},
      {"--frame-gap-ms", "-1"},
      {"--link"},
      {"--bogus"},
      {"--pace=1"},
      {"--modbus-slave", "256"},
      {"--dump", ""},
      {"--restart-ms", "600001"},
  };
  for (const auto& args : bad) {
    SimOptions options;
    std::string error;
    EXPECT_EQ(parseSimOptions(args, options, error), ParseOutcome::Error)
        << ::testing::PrintToString(args);
    EXPECT_FALSE(error.empty());
  }
  SimOptions options;
  std::string error;
  EXPECT_EQ(parseSimOptions({"--help"}, options, error), ParseOutcome::Help);
}

}  // namespace
}  // namespace quorvel::sim
