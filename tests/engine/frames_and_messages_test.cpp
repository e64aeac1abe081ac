// Pure encoding and decoding: no line, no timing; runs on every platform.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "engine/downloader.h"
#include "engine/modbus_link.h"
#include "engine/sector_transfer.h"
#include "image/image_conversion.h"

namespace quorvel {
namespace {

// Address 0x12000, data 0x1234 0xABCD, checksum 0xBE01, compatibility 1.2.
constexpr std::array<std::uint16_t, 7> kExampleFrame = {0x0001, 0x2000, 0x1234, 0xABCD,
                                                        0xBE01, 0x0000, 0x0102};

std::string encode(std::vector<std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  bytes.resize(2 * n + 5);
  const std::size_t length = ModbusLink::encodeFrame(bytes.data(), n);
  return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

TEST(FrameLayout, WordsGoOnTheLineLowByteFirst) {
  std::array<std::uint8_t, 14> bytes{};
  serializeFrame(kExampleFrame.data(), 7, bytes.data());
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
            std::string("\x01\x00\x00\x20\x34\x12\xCD\xAB\x01\xBE\x00\x00\x02\x01", 14));
}

TEST(ModbusFrame, EncodesWithLrcAndLineEnd) {
  EXPECT_EQ(encode({0x01, 0x03, 0x00, 0x1C, 0x00, 0x01}), ":0103001C0001DF\r\n");
  EXPECT_EQ(encode({0x01, 0x06, 0x01, 0x01, 0x00, 0x01}), ":010601010001F6\r\n");
  EXPECT_EQ(encode({0x01, 0x03, 0x02, 0x01, 0x00}), ":0103020100F9\r\n");
}

TEST(ModbusFrame, DecodesAValidAnswerInPlace) {
  std::string text = ":0103020100F9\r\n";
  std::size_t count = text.size();
  ASSERT_TRUE(ModbusLink::decodeFrame(reinterpret_cast<std::uint8_t*>(text.data()), count));
  EXPECT_EQ(count, 6u);
  EXPECT_EQ(text.substr(0, 6), std::string("\x01\x03\x02\x01\x00\xF9", 6));
}

TEST(ModbusFrame, RefusesMalformedFrames) {
  const char* invalid[] = {
      ":0103020100f9\r\n",  // lower-case digit
      ":0103020100F8\r\n",  // wrong LRC
      ":0103020100F9\n",    // no CR
      ":0103020100F9\r",    // no LF
      "0103020100F9\r\n",   // no colon
      ":01030201F\r\n",     // odd number of digits
      ":0103G20100F9\r\n",  // not a digit
      ":01FE0\r\n",         // too short
  };
  for (const char* frame : invalid) {
    SCOPED_TRACE(frame);
    std::string text = frame;
    std::size_t count = text.size();
    EXPECT_FALSE(ModbusLink::decodeFrame(reinterpret_cast<std::uint8_t*>(text.data()), count));
  }
}

TEST(ResultMessage, KnownAndUnknownCodes) {
  const std::pair<std::int32_t, std::string> cases[] = {
      {0, "Download successful."},
      {10, "ERROR : Unable to open serial port."},
      {20, std::string("ERROR : File to download quorvel.out or utility ") + converterFileName() +
               " is corrupted."},
      {30,
       "ERROR : Unable to update Quorvel firmware.\n\nPlease verify serial port number, optical "
       "link and firmware compatibility."},
      {40, "Download canceled by user."},
      {50,
       "ERROR : The Quorvel did not answer after the upgrade. Turn it OFF and then ON, then check "
       "its firmware version."},
      {5, "UNEXPECTED ERROR !"},
      {41, "UNEXPECTED ERROR !"},
      {-1, "UNEXPECTED ERROR !"},
  };
  for (const auto& [code, message] : cases) EXPECT_EQ(resultMessageFor(code), message) << code;
}

}  // namespace
}  // namespace quorvel
