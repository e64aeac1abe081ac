// The protocol's real time-outs and pauses, unscaled.
#include <gtest/gtest.h>

#include <array>
#include <chrono>

#include "engine/modbus_link.h"
#include "engine/sector_transfer.h"
#include "tests/support/pty_peer.h"

namespace quorvel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::PtyPair;
using testing::ScriptedPeer;

milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

TEST(TrueTiming, UnansweredSectorHoldsATryForTenSeconds) {
  PtyPair pty;
  SerialPort port;
  ASSERT_TRUE(port.open(pty.path.c_str(), 115200));
  const std::array<std::uint16_t, 5> frame = {0, 0, 0, 0, 0x0102};
  const auto start = Clock::now();
  EXPECT_FALSE(sendSector(port, frame.data(), 5, [] { return false; }));
  EXPECT_GE(since(start), milliseconds(10000));
  EXPECT_LT(since(start), milliseconds(11000));
}

TEST(TrueTiming, LoaderEntryPausesTwoSecondsAfterAPromptAnswer) {
  PtyPair pty;
  ScriptedPeer peer(pty.master, testing::cutAtLineFeed, [](const std::string& request) {
    return request.starts_with(":0103") ? ":0103020100F9\r\n" : "";
  });
  const auto start = Clock::now();
  CancelEvent cancel;
  EXPECT_TRUE(enterLoaderMode(1, pty.path.c_str(), 9600, cancel));
  EXPECT_GE(since(start), milliseconds(2000));
  EXPECT_LT(since(start), milliseconds(2500));
}

// The pause is a wait on the cancel event, not a sleep: a cancel ends it at once.
TEST(TrueTiming, CancelCutsTheLoaderPauseShort) {
  PtyPair pty;
  CancelEvent cancel;
  ScriptedPeer peer(pty.master, testing::cutAtLineFeed, [&](const std::string& request) {
    if (request.starts_with(":0106")) cancel.signal();  // the download order has arrived
    return request.starts_with(":0103") ? ":0103020100F9\r\n" : "";
  });
  const auto start = Clock::now();
  EXPECT_TRUE(enterLoaderMode(1, pty.path.c_str(), 9600, cancel));
  EXPECT_LT(since(start), milliseconds(1000));
}

TEST(TrueTiming, SilentInstrumentCostsThreeReadsAndThePause) {
  PtyPair pty;
  const auto start = Clock::now();
  CancelEvent cancel;
  EXPECT_TRUE(enterLoaderMode(1, pty.path.c_str(), 9600, cancel));
  EXPECT_GE(since(start), milliseconds(8000));
  EXPECT_LT(since(start), milliseconds(8600));
}

}  // namespace
}  // namespace quorvel
