// quorvel-sim as a child process, driven over its pseudo-terminal like the host drives it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/sim_test_support.h"
#include "tools/quorvel-sim/sim_options.h"

namespace quorvel::sim::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using quorvel::testing::readFile;
using quorvel::testing::ScratchDir;

const std::string kReadRequest = ":0103001C0001DF\r\n";
const std::string kValueAnswer = ":0103020100F9\r\n";
const std::string kDownloadOrder = ":010601010001F6\r\n";
constexpr auto kSilenceWindow = 150ms;

// Sends `frame` and returns the answer (up to two bytes).
std::string answerTo(HostPort& port, const std::string& frame, std::size_t answerBytes = 2) {
  port.send(frame);
  return port.receive(answerBytes);
}

// Orders the simulator into its loader mode, as the host's loader-mode entry does.
void enterLoader(HostPort& port) {
  ASSERT_EQ(answerTo(port, kReadRequest, kValueAnswer.size()), kValueAnswer);
  ASSERT_EQ(answerTo(port, kDownloadOrder, kDownloadOrder.size()), kDownloadOrder);
}

TEST(SimProcess, AnswersTheRegisterReadAsConfigured) {
  struct Case {
    std::vector<std::string> args;
    std::string answer;  // empty: silence
  };
  const std::vector<Case> cases{
      {{}, kValueAnswer},
      {{"--register-value", "0x1234"}, ":0103021234B4\r\n"},
      {{"--modbus-exception"}, ":01830478\r\n"},
      {{"--register-value", "0xABCD", "--modbus-lowercase"}, ":010302abcd82\r\n"},
      {{"--modbus-slave", "7"}, ":0703020100F3\r\n"},
      {{"--silent-modbus"}, ""},
  };
  for (const auto& c : cases) {
    SimProcess sim(c.args);
    HostPort port(sim.devicePath(), B9600);
    ASSERT_TRUE(port.isOpen()) << ::testing::PrintToString(c.args);
    port.send(kReadRequest);
    const std::string answer =
        c.answer.empty() ? port.receiveFor(kSilenceWindow) : port.receive(c.answer.size());
    EXPECT_EQ(answer, c.answer) << ::testing::PrintToString(c.args);
  }
}

TEST(SimProcess, IgnoresRequestsToOtherSlavesAndDamagedFrames) {
  SimProcess sim({});
  HostPort port(sim.devicePath(), B9600);
  port.send(":0203001C0001DE\r\n");  // slave 2
  port.send(":0103001C0001DE\r\n");  // bad LRC
  EXPECT_EQ(port.receiveFor(kSilenceWindow), "");
  // Noise, then a request split across writes: framing is by ":" and CR LF, not by timing.
  port.send(std::string("\x00\xFF", 2) + "junk:0103001C");
  port.send("0001DF\r\n");
  EXPECT_EQ(port.receive(kValueAnswer.size()), kValueAnswer);
}

TEST(SimProcess, OnlyTheDownloadOrderSwitchesToTheLoader) {
  SimProcess sim({});
  HostPort port(sim.devicePath(), B9600);
  const std::string wrongRegister = ":010601020001F5\r\n";
  EXPECT_EQ(answerTo(port, wrongRegister, wrongRegister.size()), wrongRegister);
  const std::string frame = sectorFrame(0x100, {1, 2, 3}, 0x0102);
  port.send(frame);
  EXPECT_EQ(port.receiveFor(kSilenceWindow), "") << "a sector frame means nothing to Modbus";
  enterLoader(port);
  EXPECT_EQ(answerTo(port, frame), "G\r");
}

TEST(SimProcess, AcknowledgesGoodFramesAndRejectsBadOnes) {
  SimProcess sim({"--silent-modbus", "--expect-compat", "0x0102"});
  HostPort port(sim.devicePath());
  const std::string good = sectorFrame(0x12000, {0x1234, 0xABCD}, 0x0102);
  std::string badChecksum = good;
  badChecksum[4] ^= 1;
  struct Case {
    const char* name;
    std::string frame;
    std::string answer;
  };
  const std::vector<Case> cases{
      {"good", good, "G\r"},
      {"bad checksum", badChecksum, "B\r"},
      {"odd length", good + "\x01", "B\r"},
      {"too short", good.substr(0, 8), "B\r"},
      {"compat mismatch", sectorFrame(0x12000, {1}, 0x0103), "B\r"},
      {"no data words", sectorFrame(0x13000, {}, 0x0102), "G\r"},
  };
  for (const auto& c : cases) EXPECT_EQ(answerTo(port, c.frame), c.answer) << c.name;
}

TEST(SimProcess, PlaysInjectedFaultsPerSector) {
  SimProcess sim({"--silent-modbus", "--reject-sector", "1:2", "--silent-sector", "2",
                  "--garbage-sector", "3"});
  HostPort port(sim.devicePath());
  const std::string one = sectorFrame(0x000, {1}, 0);
  const std::string two = sectorFrame(0x100, {2}, 0);
  const std::string three = sectorFrame(0x200, {3}, 0);
  EXPECT_EQ(answerTo(port, one), "B\r");
  EXPECT_EQ(answerTo(port, one), "B\r");
  EXPECT_EQ(answerTo(port, one), "G\r");
  port.send(two);
  EXPECT_EQ(port.receiveFor(kSilenceWindow), "");
  EXPECT_EQ(answerTo(port, two), "G\r");
  EXPECT_EQ(answerTo(port, three), "X\r");
  EXPECT_EQ(answerTo(port, three), "G\r");
}

TEST(SimProcess, OneByteAcknowledgementIsExactlyG) {
  SimProcess sim({"--silent-modbus", "--ack-bytes", "1"});
  HostPort port(sim.devicePath());
  port.send(sectorFrame(0x100, {1, 2}, 0));
  EXPECT_EQ(port.receiveFor(kSilenceWindow), "G");
}

TEST(SimProcess, DropsTheLineAfterTheNamedSector) {
  SimProcess sim({"--silent-modbus", "--drop-after-sector", "1"});
  HostPort port(sim.devicePath());
  EXPECT_EQ(answerTo(port, sectorFrame(0x100, {1}, 0)), "G\r");
  port.send(sectorFrame(0x200, {2}, 0));
  EXPECT_TRUE(port.hungUp());
  EXPECT_EQ(sim.waitExit(), kExitLineDropped);
}

TEST(SimProcess, DumpsTheReceivedImageOnGoAndExits) {
  ScratchDir dir;
  SimProcess sim({"--dump", dir.file("dump.hex"), "--reject-sector", "2"});
  HostPort port(sim.devicePath(), B9600);
  enterLoader(port);
  EXPECT_EQ(answerTo(port, sectorFrame(0x12000, {0x1234, 0xABCD}, 0x0102)), "G\r");
  EXPECT_EQ(answerTo(port, sectorFrame(0x12002, {0xFFFF}, 0x0102)), "B\r");
  EXPECT_EQ(answerTo(port, sectorFrame(0x12002, {0x5678}, 0x0102)), "G\r");
  port.send("GO");
  EXPECT_EQ(port.receiveFor(kSilenceWindow), "") << "nothing answers the closing order";
  port.close();
  EXPECT_EQ(sim.waitExit(), kExitDone);
  EXPECT_EQ(readFile(dir.file("dump.hex")),
            ":020000040002F8\n"
            ":064000003412CDAB78562E\n"
            ":00000001FF\n");
}

TEST(SimProcess, ADumpThatCannotBeWrittenIsAFailure) {
  ScratchDir dir;
  SimProcess sim({"--silent-modbus", "--dump", dir.file("missing/dump.hex")});
  HostPort port(sim.devicePath());
  EXPECT_EQ(answerTo(port, sectorFrame(0, {1}, 0)), "G\r");
  port.send("GO");
  port.close();
  EXPECT_EQ(sim.waitExit(), kExitFailure);
}

TEST(SimProcess, SurvivesTheHostClosingAndReopeningThePort) {
  ScratchDir dir;
  SimProcess sim({"--dump", dir.file("dump.hex")});
  {
    HostPort modbus(sim.devicePath(), B9600);
    ASSERT_EQ(answerTo(modbus, kReadRequest, kValueAnswer.size()), kValueAnswer);
    modbus.send(kDownloadOrder);  // the host never reads the echo
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(50ms);
  HostPort transfer(sim.devicePath());
  ASSERT_TRUE(transfer.isOpen());
  EXPECT_EQ(answerTo(transfer, sectorFrame(0, {7}, 0)), "G\r")
      << "the unread echo must not precede the acknowledgement";
  transfer.send("GO");
  transfer.close();
  EXPECT_EQ(sim.waitExit(), kExitDone);
}

// With --restart-ms the instrument runs its application again after "GO": deaf while it
// restarts, then a Modbus slave until the host closes the port; a host that does not come
// back is not waited for beyond the linger time.
TEST(SimProcess, RestartsAfterGoAndAnswersUntilThePortIsClosed) {
  for (const bool hostComesBack : {true, false}) {
    SCOPED_TRACE(hostComesBack ? "host comes back" : "host does not come back");
    SimProcess sim({"--silent-modbus", "--restart-ms", "300"});
    HostPort transfer(sim.devicePath());
    EXPECT_EQ(answerTo(transfer, sectorFrame(0, {7}, 0)), "G\r");
    transfer.send("GO");
    const auto go = Clock::now();
    transfer.close();
    if (!hostComesBack) {
      EXPECT_EQ(sim.waitExit(), kExitDone);
      EXPECT_GE(Clock::now() - go, 300ms);
      continue;
    }
    HostPort modbus(sim.devicePath(), B9600);
    std::this_thread::sleep_for(20ms);  // "GO" is a frame of its own
    modbus.send(kReadRequest);
    EXPECT_EQ(modbus.receiveFor(kSilenceWindow), "") << "still restarting";
    std::this_thread::sleep_until(go + 350ms);
    EXPECT_EQ(answerTo(modbus, kReadRequest, kValueAnswer.size()), kValueAnswer);
    EXPECT_EQ(sim.waitExit(kSilenceWindow), -1) << "ended with the port still open";
    modbus.close();
    EXPECT_EQ(sim.waitExit(), kExitDone);
  }
}

TEST(SimProcess, LinkIsMadeAndRemovedOnSigterm) {
  ScratchDir dir;
  const std::string link = dir.file("com3");
  SimProcess sim({"--link", link});
  struct stat info {};
  ASSERT_EQ(::lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  HostPort port(link, B9600);
  EXPECT_EQ(answerTo(port, kReadRequest, kValueAnswer.size()), kValueAnswer);
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.waitExit(), kExitTerminated);
  EXPECT_NE(::lstat(link.c_str(), &info), 0);
}

TEST(SimProcess, RefusesToReplaceAFileWithItsLink) {
  ScratchDir dir;
  const std::string path = dir.file("precious");
  { std::ofstream(path) << "keep me"; }
  SimProcess sim({"--link", path});
  EXPECT_EQ(sim.devicePath(), "");
  EXPECT_EQ(sim.waitExit(), kExitFailure);
  EXPECT_EQ(readFile(path), "keep me");
}

TEST(SimProcess, GivesUpAfterItsTimeout) {
  SimProcess sim({"--timeout", "1"});
  EXPECT_EQ(sim.waitExit(3000ms), kExitTimedOut);
}

TEST(SimProcess, UsageErrorsAndHelp) {
  SimProcess bad({"--ack-bytes", "3"});
  EXPECT_EQ(bad.waitExit(), kExitUsage);
}

TEST(SimProcess, VerboseLogAndStatsShowTheTurnaround) {
  ScratchDir dir;
  SimProcess sim({"--silent-modbus", "-v", "--stats", dir.file("stats.csv")}, dir.file("log"));
  HostPort port(sim.devicePath());
  EXPECT_EQ(answerTo(port, sectorFrame(0x100, {1, 2}, 0)), "G\r");
  EXPECT_EQ(answerTo(port, sectorFrame(0x200, {3, 4}, 0)), "G\r");
  port.send("GO");
  port.close();
  ASSERT_EQ(sim.waitExit(), kExitDone);

  const std::string log = readFile(dir.file("log"));
  EXPECT_NE(log.find("frame start"), std::string::npos) << log;
  EXPECT_NE(log.find("frame end: 14 bytes"), std::string::npos) << log;
  EXPECT_NE(log.find("sector 2, address 0x00000200, 2 words"), std::string::npos) << log;
  EXPECT_NE(log.find("ack sent G\\r (sector 2)"), std::string::npos) << log;
  std::istringstream stats(readFile(dir.file("stats.csv")));
  std::string header, second, go, extra;
  std::getline(stats, header);
  std::getline(stats, second);
  std::getline(stats, go);
  EXPECT_EQ(header, "frame,sector,bytes,previous_answer,ack_to_first_byte_us,ack_to_last_byte_us");
  EXPECT_EQ(second.rfind("2,2,14,G,", 0), 0u) << second;
  EXPECT_EQ(go.rfind("3,3,2,G,", 0), 0u) << go;
  EXPECT_FALSE(std::getline(stats, extra));
}

// Pacing holds the answer back for the wire time of the frame and of the answer itself.
TEST(SimProcess, PacedAnswersWaitForTheRealLine) {
  SimProcess sim({"--silent-modbus", "--pace"});
  HostPort port(sim.devicePath(), B9600);
  const std::string frame = sectorFrame(0, std::vector<std::uint16_t>(95), 0);  // 200 bytes
  const auto sent = Clock::now();
  EXPECT_EQ(answerTo(port, frame), "G\r");
  const auto lineTime = std::chrono::microseconds((frame.size() + 2) * 10 * 1000000 / 9600);
  EXPECT_GE(Clock::now() - sent, lineTime);
}

}  // namespace
}  // namespace quorvel::sim::test
