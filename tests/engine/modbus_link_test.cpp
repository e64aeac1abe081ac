#include "engine/modbus_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/timing.h"
#include "tests/support/pty_peer.h"

namespace quorvel {
namespace {

using testing::PtyPair;
using testing::ScriptedPeer;

std::string encode(std::vector<std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  bytes.resize(2 * n + 5);
  const std::size_t length = ModbusLink::encodeFrame(bytes.data(), n);
  return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

class LoaderEntryTest : public ::testing::Test {
 protected:
  // Runs the entry against a peer that gives `answer` to every read request.
  bool enter(const std::string& answer) {
    ScriptedPeer peer(pty.master, testing::cutAtLineFeed, [&](const std::string& request) {
      return request == ":0103001C0001DF\r\n" ? answer : std::string();
    });
    ::testing::internal::CaptureStdout();
    bool entered = enterLoaderMode(1, pty.path.c_str(), 9600, cancel);
    traces = ::testing::internal::GetCapturedStdout();
    requests = peer.units();
    return entered;
  }

  ScopedTimingScale fast{50};
  PtyPair pty;
  CancelEvent cancel;
  std::string traces;
  std::vector<std::string> requests;
};

TEST_F(LoaderEntryTest, WritesTheOrderToTheAnnouncedRegisterPlusOne) {
  struct Case {
    std::string answer;
    std::string order;
  };
  const Case cases[] = {
      {":0103020100F9\r\n", ":010601010001F6\r\n"},
      {encode({0x01, 0x03, 0x02, 0xFF, 0xFF}), encode({0x01, 0x06, 0x00, 0x00, 0x00, 0x01})},
      // Neither the function code (bit 7 clear) nor the byte count is examined.
      {encode({0x01, 0x04, 0x07, 0x12, 0x34}), encode({0x01, 0x06, 0x12, 0x35, 0x00, 0x01})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    EXPECT_TRUE(enter(c.answer));
    EXPECT_EQ(requests, (std::vector<std::string>{":0103001C0001DF\r\n", c.order}));
    EXPECT_EQ(traces, "Trying to read Modbus adress to write download order(attempt 1)\n");
  }
}

TEST_F(LoaderEntryTest, InvalidAnswersCountAsSilence) {
  std::string lowerCase = encode({0x01, 0x03, 0x02, 0xAB, 0xCD});
  std::transform(lowerCase.begin(), lowerCase.end(), lowerCase.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::string answers[] = {
      "",
      lowerCase,
      encode({0x01, 0x83, 0x02, 0x01, 0x00}),  // exception
      encode({0x02, 0x03, 0x02, 0x01, 0x00}),  // another slave
      encode({0x01, 0x03, 0x02}),              // 11 characters: no value
      encode({0x01, 0x03, 0x02, 0x01}),        // 13 characters: no low value byte
  };
  for (const std::string& answer : answers) {
    SCOPED_TRACE(answer);
    EXPECT_TRUE(enter(answer));
    EXPECT_EQ(requests, std::vector<std::string>(3, ":0103001C0001DF\r\n"));
    EXPECT_EQ(traces,
              "Trying to read Modbus adress to write download order(attempt 1)\n"
              "Trying to read Modbus adress to write download order(attempt 2)\n"
              "Trying to read Modbus adress to write download order(attempt 3)\n"
              "No response from the remote device (Device already in loader mode ?)\n");
  }
}

TEST(LoaderEntry, UnopenablePortGivesFalseWithoutAttempts) {
  ::testing::internal::CaptureStdout();
  CancelEvent cancel;
  EXPECT_FALSE(enterLoaderMode(1, "/nonexistent/tty", 9600, cancel));
  EXPECT_EQ(::testing::internal::GetCapturedStdout().find("attempt"), std::string::npos);
}

}  // namespace
}  // namespace quorvel
