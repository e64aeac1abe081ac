// After "GO": the closing order survives an immediate reopen of the port, the restart check
// against the simulated instrument, and what a run reports to its observer.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "tests/engine/downloader_fixture.h"
#include "tests/support/simulator_process.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kSimLink = "./sim";

SimulatorProcess startSimulator(std::vector<std::string> args = {}) {
  args.insert(args.end(), {"--link", kSimLink, "--timeout", "60", "--frame-gap-ms", "5"});
  return SimulatorProcess(QUORVEL_SIM_PATH, args);
}

// The names of the outcomes and answers, in the order of their enumerations.
constexpr const char* kLoaderOutcomes[] = {"order written", "order not written", "no answer",
                                           "port not opened", "cancelled"};
constexpr const char* kRestartOutcomes[] = {"answered", "not answered", "cancelled"};
constexpr const char* kAnswerKinds[] = {"G", "B", "other", "none"};

template <typename Enum, std::size_t N>
std::string nameOf(Enum value, const char* const (&names)[N]) {
  return names[static_cast<std::size_t>(value)];
}

// Everything a run and a restart check report, in order, as text.
class EventLog : public DownloadObserver {
 public:
  void loaderEntryAttempt(std::uint32_t attempt) override {
    events.push_back("attempt " + std::to_string(attempt));
  }
  void loaderEntryEnded(LoaderEntryOutcome outcome) override {
    events.push_back("loader: " + nameOf(outcome, kLoaderOutcomes));
  }
  void sectorTry(const SectorTry& t) override {
    char text[64];
    std::snprintf(text, sizeof text, "try %u.%u at 0x%X, %u words", t.sector, t.attempt, t.address,
                  t.frameWords);
    events.push_back(text);
  }
  void sectorAnswer(const SectorTry& t, const SectorAnswer& answer) override {
    std::string kind = nameOf(answer.kind, kAnswerKinds);
    if (answer.kind == AnswerKind::Other) kind += " " + std::to_string(answer.firstByte);
    events.push_back("answer " + std::to_string(t.sector) + "." + std::to_string(t.attempt) + ": " +
                     kind);
    answerMs.push_back(answer.elapsedMs);
  }
  void restartCheckStarted() override { events.push_back("restart check"); }
  void restartCheckEnded(RestartOutcome outcome, double secondsSinceGo) override {
    events.push_back("restart: " + nameOf(outcome, kRestartOutcomes));
    restartSeconds = secondsSinceGo;
  }

  std::vector<std::string> events;
  std::vector<std::uint32_t> answerMs;
  double restartSeconds = -1;
};

class RestartCheckTest : public DownloaderTest {
 protected:
  // Against a simulator in a process of its own, a tenth of the real timing: its answers must
  // still come within the scaled read time-outs on a loaded machine.
  static constexpr std::uint32_t kSimulatorScale = 10;
  void useSimulatorScale() {
    fast.reset();
    fast.emplace(kSimulatorScale);
  }

  // One run against the simulator behind kSimLink; true when it sent "GO".
  bool runAgainst(SimulatorProcess& sim, DownloadObserver* observer = nullptr) {
    if (!sim.ready()) return false;
    ::testing::internal::CaptureStdout();
    const bool succeeded = downloader->runDownload(target, WM_DOWNLOAD_PROGRESS, observer);
    traces = ::testing::internal::GetCapturedStdout();
    return succeeded;
  }
  bool checkRestart(std::uint32_t limitSeconds, DownloadObserver* observer = nullptr) {
    ::testing::internal::CaptureStdout();
    const bool answered = downloader->checkRestart(limitSeconds, observer);
    traces = ::testing::internal::GetCapturedStdout();
    return answered;
  }
};

// The reopen's flush must not take the closing order that the instrument has not read yet.
// The loss is a race, hence the runs.
TEST_F(RestartCheckTest, GoReachesTheInstrumentWhenThePortIsReopenedAtOnce) {
  constexpr int kRuns = 20;
  useSimulatorScale();
  writeConvertedImage(sectors);
  construct(kSimLink);
  int lost = 0;
  for (int i = 0; i < kRuns; ++i) {
    SimulatorProcess sim = startSimulator();
    ASSERT_TRUE(runAgainst(sim));
    SerialPort reopened;
    EXPECT_TRUE(reopened.open(kSimLink, kModbusBaud));
    reopened.close();
    // The simulator ends with 0 on "GO" once the port is closed, and waits for it otherwise.
    if (sim.waitExit(1000ms) != 0) ++lost;
  }
  EXPECT_EQ(lost, 0) << "of " << kRuns;
}

TEST_F(RestartCheckTest, WaitsForTheRestartedInstrumentUpToItsLimit) {
  struct Case {
    const char* name;
    std::vector<std::string> simArgs;
    std::uint32_t limitSeconds;
    bool answered;
    const char* loader;
  };
  // The timing is scaled by 10: a restart after 3 s takes 300 ms, the default limit 6 s.
  const Case cases[] = {
      {"restarts after 3 s",
       {"--restart-ms", "300"},
       kRestartLimitDefaultS,
       true,
       "loader: order written"},
      {"in its loader already, then restarts",
       {"--silent-modbus", "--restart-ms", "300"},
       60,
       true,
       "loader: no answer"},
      {"restarts after the limit", {"--restart-ms", "100000"}, 3, false, "loader: order written"},
      // The simulator ends on "GO", and its port goes away.
      {"never restarts", {}, 3, false, "loader: order written"},
  };
  useSimulatorScale();
  writeConvertedImage(sectors);
  construct(kSimLink);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatorProcess sim = startSimulator(c.simArgs);
    EventLog log;
    ASSERT_TRUE(runAgainst(sim, &log));
    EXPECT_EQ(checkRestart(c.limitSeconds, &log), c.answered);
    EXPECT_EQ(downloader->result(), c.answered ? Success : NoAnswerAfterUpgrade);
    const double limit = c.limitSeconds * timing().restartLimitSecondMs / 1000.0;
    EXPECT_EQ(log.restartSeconds, downloader->restartSeconds());
    if (c.answered) {
      EXPECT_GE(log.restartSeconds, 0.3);
      EXPECT_LT(log.restartSeconds, limit);
      EXPECT_NE(traces.find("The instrument answered "), std::string::npos) << traces;
      EXPECT_EQ(sim.waitExit(), 0) << "the restarted simulator ends when the port is closed";
    } else {
      EXPECT_GE(log.restartSeconds, limit);
      EXPECT_EQ(downloader->resultMessage(),
                "ERROR : The Quorvel did not answer after the upgrade. Turn it OFF and then ON, "
                "then check its firmware version.");
    }
    EXPECT_NE(std::find(log.events.begin(), log.events.end(), c.loader), log.events.end());
    EXPECT_EQ(log.events.at(log.events.size() - 2), "restart check");
    EXPECT_EQ(log.events.back(), c.answered ? "restart: answered" : "restart: not answered");
  }
}

// After "GO" the line stays quiet for a while, then carries the loader entry's register read
// alone: never the download order.
TEST_F(RestartCheckTest, AsksWithTheRegisterReadOnly) {
  writeConvertedImage(sectors);
  construct();
  Instrument instrument(pty.master, sectors, acknowledgeAll);
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(downloader->runDownload(target, WM_DOWNLOAD_PROGRESS));
  EXPECT_TRUE(downloader->checkRestart(kRestartLimitDefaultS));
  ::testing::internal::GetCapturedStdout();
  instrument.awaitQuiet();
  std::vector<std::string> expected = expectedUnits(3, true);
  expected.push_back(kModbusRead);
  EXPECT_EQ(instrument.units(), expected);
  EXPECT_GE(downloader->restartSeconds(), timing().quietAfterGoMs / 1000.0);
  EXPECT_EQ(
      restartAnsweredMessage(downloader->restartSeconds()).rfind("Instrument answered after "), 0u);
}

// A cancel during the wait ends it at once, whether a read is pending or the port is gone
// and waits to be opened again; the result says that the image had been sent.
TEST_F(RestartCheckTest, CancelEndsTheWaitAtOnce) {
  struct Case {
    const char* name;
    std::vector<std::string> simArgs;
  };
  const Case cases[] = {{"during a read", {"--restart-ms", "100000"}},
                        {"while the port is gone", {}}};
  writeConvertedImage(sectors);
  construct(kSimLink);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    useSimulatorScale();
    SimulatorProcess sim = startSimulator(c.simArgs);
    ASSERT_TRUE(runAgainst(sim));
    fast.reset();  // the check's real read time-out and reopen pause, which a cancel cuts short
    constexpr auto kCancelAfter = 800ms;  // after the quiet time, within a read or a pause
    Clock::time_point signalled;
    std::thread canceller([&] {
      std::this_thread::sleep_for(kCancelAfter);
      signalled = Clock::now();
      downloader->cancelEvent().signal();
    });
    EXPECT_FALSE(checkRestart(kRestartLimitMaxS));
    const auto stopped = Clock::now();
    canceller.join();
    EXPECT_LT(stopped - signalled, 300ms);
    EXPECT_EQ(downloader->result(), Cancelled);
    EXPECT_EQ(downloader->resultMessage(),
              "Download canceled by user.\nThe whole image had been sent; only the check that "
              "the new firmware runs was canceled.");
    // The next downloader's event is not signalled.
    construct(kSimLink);
  }
}

// Every try and every answer, as the instrument gave them: a rejection, another byte,
// silence, then the acknowledgements.
TEST_F(RestartCheckTest, ObserverHearsEachTryAndItsAnswer) {
  writeConvertedImage(sectors);
  construct();
  EventLog log;
  Instrument instrument(pty.master, sectors, [](std::size_t sector, int tryNumber) {
    if (sector == 0 && tryNumber == 1) return "BX";
    if (sector == 0 && tryNumber == 2) return "XX";
    if (sector == 1 && tryNumber == 1) return "";
    return "GX";
  });
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(downloader->runDownload(target, WM_DOWNLOAD_PROGRESS, &log));
  ::testing::internal::GetCapturedStdout();
  const std::vector<std::string> expected = {
      "attempt 1",
      "loader: order written",
      "try 1.1 at 0x12000, 8 words",
      "answer 1.1: B",
      "try 1.2 at 0x12000, 8 words",
      "answer 1.2: other 88",
      "try 1.3 at 0x12000, 8 words",
      "answer 1.3: G",
      "try 2.1 at 0x20000, 305 words",
      "answer 2.1: none",
      "try 2.2 at 0x20000, 305 words",
      "answer 2.2: G",
      "try 3.1 at 0xA0FF, 6 words",
      "answer 3.1: G",
  };
  EXPECT_EQ(log.events, expected);
  ASSERT_EQ(log.answerMs.size(), 6u);
  // Silence lasts the ten reads; an answer ends the first.
  EXPECT_GE(log.answerMs[3], kAnswerReads * timing().answerReadTimeoutMs);
  EXPECT_LT(log.answerMs[4], kAnswerReads * timing().answerReadTimeoutMs);
}

}  // namespace
}  // namespace quorvel::testing
