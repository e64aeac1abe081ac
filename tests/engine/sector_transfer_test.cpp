#include "engine/sector_transfer.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>

#include "platform/timing.h"
#include "tests/support/pty_peer.h"

namespace quorvel {
namespace {

using testing::PtyPair;
using testing::ScriptedPeer;

// Address 0x12000, data 0x1234 0xABCD, checksum 0xBE01, compatibility 1.2.
constexpr std::array<std::uint16_t, 7> kExampleFrame = {0x0001, 0x2000, 0x1234, 0xABCD,
                                                        0xBE01, 0x0000, 0x0102};
const std::string kExampleOnLine("\x01\x00\x00\x20\x34\x12\xCD\xAB\x01\xBE\x00\x00\x02\x01", 14);

class SectorTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(pty.path.empty());
    ASSERT_TRUE(port.open(pty.path.c_str(), 115200));
  }
  // Sends the example frame to a peer that gives `answer` to every frame.
  bool send(const std::string& answer, const CancelTest& cancelTest) {
    ScriptedPeer peer(
        pty.master, [](const std::string& p) { return p.size() >= 14 ? std::size_t{14} : 0; },
        [&](const std::string&) { return answer; });
    ::testing::internal::CaptureStdout();
    bool acknowledged = sendSector(port, kExampleFrame.data(), 7, cancelTest);
    traces = ::testing::internal::GetCapturedStdout();
    lineBytes = peer.awaitReceived(kExampleOnLine.size());
    return acknowledged;
  }

  ScopedTimingScale fast{50};
  PtyPair pty;
  SerialPort port;
  std::string traces;
  std::string lineBytes;
  int cancelPolls = 0;
  CancelTest neverCancel = [this] { return ++cancelPolls, false; };
};

struct AnswerCase {
  std::string answer;
  bool acknowledged;
  const char* traceLine;
};

TEST_F(SectorTransferTest, FirstAnswerByteDecides) {
  const AnswerCase cases[] = {
      {"GX", true, "The sector has been correctly received by the remote device\n"},
      {"G", true, "The sector has been correctly received by the remote device\n"},
      {"BG", false, "ERROR : The sector has not been correctly received by the remote device\n"},
      {"gG", false, "No response from the remote device\n"},
      {"OK", false, "No response from the remote device\n"},
      {std::string(1, '\0'), false, "No response from the remote device\n"},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.answer);
    EXPECT_EQ(send(c.answer, neverCancel), c.acknowledged);
    EXPECT_EQ(traces, c.traceLine);
    EXPECT_EQ(lineBytes, kExampleOnLine);
  }
}

TEST_F(SectorTransferTest, SilenceLastsTenReadsWithACancelTestAfterEach) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(send("", neverCancel));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(traces, "No response from the remote device\n");
  EXPECT_EQ(cancelPolls, 1 + kAnswerReads);
  EXPECT_GE(elapsed, std::chrono::milliseconds(kAnswerReads * timing().answerReadTimeoutMs));
}

TEST_F(SectorTransferTest, CancelBeforeTheAnswerStillWritesTheWholeFrame) {
  EXPECT_FALSE(send("GX", [this] { return ++cancelPolls, true; }));
  EXPECT_EQ(cancelPolls, 1);
  EXPECT_EQ(traces, "");
  EXPECT_EQ(lineBytes, kExampleOnLine);
}

TEST_F(SectorTransferTest, CancelWhileWaitingEndsAfterTheEmptyRead) {
  EXPECT_FALSE(send("", [this] { return ++cancelPolls == 3; }));
  EXPECT_EQ(cancelPolls, 3);
  EXPECT_EQ(traces, "");
}

// A byte that no read took (here a stray "G" after the answer) is dropped before the next
// frame goes out: it can never pass for that frame's acknowledgement.
TEST_F(SectorTransferTest, AnAnswerByteLeftUnreadIsNotTakenForTheNextFramesAnswer) {
  EXPECT_TRUE(send("GXG", neverCancel));
  EXPECT_FALSE(send("", neverCancel));
  EXPECT_EQ(traces, "No response from the remote device\n");
}

TEST_F(SectorTransferTest, ClosingOrderIsTwoBytes) {
  ScriptedPeer peer(
      pty.master, [](const std::string&) { return std::size_t{0}; },
      [](const std::string&) { return std::string(); });
  sendGo(port);
  peer.awaitReceived(2);
  peer.awaitQuiet(std::chrono::milliseconds(20));
  EXPECT_EQ(peer.received(), "GO");
}

}  // namespace
}  // namespace quorvel
