// quorvel-upgrade on the paths where it could send the instrument something it should not
// get, or leave without a word: stale or odd temporary files, late answers, cancels before
// the transfer, converters that hang.
#include <thread>

#include "tests/app/cli_fixture.h"
#include "tests/support/process_state.h"

namespace quorvel::testing {
namespace {

constexpr const char* kCorrupted = "ERROR : File to download quorvel.out or utility hex55";
constexpr const char* kCanceled = "Download canceled by user.\n";

// The converter's own script: logs its run, then `body`, in the private directory.
class CliSafety : public CliProcess {
 protected:
  std::string converterScript(const std::string& body) const {
    return "#!/bin/sh\n" + logLine() + body;
  }
};

// Files left in the working directory by an earlier run, valid and of this very image, are
// never flashed when the converter then fails, nor touched.
TEST_F(CliSafety, StaleTemporaryFilesAreNeverFlashed) {
  writeImage();
  Child conversion({{HEX55_PATH, "-a", "quorvel.out", "-o", "LSB.tmp", "-o", "MSB.tmp"},
                    dir_.path(),
                    {},
                    dir_ / "hex55.out",
                    dir_ / "hex55.err",
                    std::string(),
                    -1,
                    -1,
                    false});
  ASSERT_EQ(conversion.wait(kRunTimeout), 0);
  writeFile(dir_ / "hex55", converterScript("exit 1\n"), true);
  startSimulator();
  Outcome outcome = run({"--port", kPort, "--yes"});
  EXPECT_EQ(outcome.status, 20) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, kCorrupted)) << outcome.err;
  EXPECT_FALSE(contains(outcome.out, "Sending sector"));
  EXPECT_TRUE(fs::exists(dir_ / "LSB.tmp") && fs::exists(dir_ / "MSB.tmp"));
  EXPECT_FALSE(privateDirectoryLeft());
  EXPECT_FALSE(imageReceived());
}

// A directory or a FIFO where the converter should have left a file: refused at once.
TEST_F(CliSafety, TemporaryFilesThatAreNoPlainFilesAreRefused) {
  writeImage();
  startSimulator();
  for (const char* replace : {"rm LSB.tmp && mkfifo LSB.tmp", "rm MSB.tmp && mkdir MSB.tmp"}) {
    SCOPED_TRACE(replace);
    writeFile(dir_ / "hex55", converterScript("'" HEX55_PATH "' \"$@\" && " + std::string(replace)),
              true);
    Outcome outcome = run({"--port", kPort, "--yes"});
    EXPECT_EQ(outcome.status, 20) << outcome.err;
    EXPECT_TRUE(contains(outcome.err, kCorrupted)) << outcome.err;
    EXPECT_FALSE(contains(outcome.out, "Trying to read Modbus"));
    EXPECT_FALSE(temporaryFilesLeft());
  }
}

// The instrument acknowledges the first try of sector 2 only after the host has stopped
// waiting for it, and never answers again. The late "G" must not pass for the answer to the
// retry: sector 2 fails its three tries, and no later sector and no "GO" follow.
TEST_F(CliProcess, AnswerThatComesTooLateIsNotTakenForTheRetrysAnswer) {
  constexpr unsigned kDivisor = 2;
  // Inside the retry pause: past the ten reads, 40 % into the 500 ms before the retry.
  constexpr unsigned kLateMs = (kAnswerReads * 1000 + 500 * 2 / 5) / kDivisor;
  prepare();
  startSimulator({"--late-sector", "2", "--late-ms", std::to_string(kLateMs), "--mute-after-sector",
                  "2", "-v"});
  Child cli(cliSetup({"--port", kPort, "--yes"}, std::string(), "2"));
  Outcome outcome = finish(cli);
  EXPECT_EQ(outcome.status, 30) << outcome.err;
  EXPECT_TRUE(contains(outcome.out, "Sending sector number 2, try 3 (")) << outcome.out;
  EXPECT_FALSE(contains(outcome.out, "Sending sector number 3"));
  EXPECT_FALSE(contains(outcome.out,
                        "The sector has been correctly received by the remote "
                        "device\nSending sector number 2"));
  EXPECT_FALSE(imageReceived());
  EXPECT_TRUE(contains(readFile(dir_ / "sim.err"), "ack sent G\\r (sector 2)"))
      << "the late answer never came";
}

// A cancel while the tool still talks Modbus: no sector frame ever reaches the instrument.
TEST_F(CliProcess, InterruptDuringTheLoaderEntrySendsNoFrame) {
  prepare();
  startSimulator({"--silent-modbus"});  // three slow attempts: the signal comes among them
  Child cli(cliSetup({"--port", kPort, "--yes"}, std::string(), "2"));
  ASSERT_TRUE(waitForText(dir_ / "cli.out", "(attempt 1)", kRunTimeout));
  cli.signal(SIGINT);
  Outcome outcome = finish(cli);
  EXPECT_EQ(outcome.status, 40) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, kCanceled)) << outcome.err;
  EXPECT_FALSE(contains(outcome.out, "(attempt 3)")) << outcome.out;
  EXPECT_FALSE(contains(outcome.out, "Sending sector"));
  EXPECT_FALSE(temporaryFilesLeft());
  EXPECT_FALSE(imageReceived());
}

struct HangCase {
  const char* name;
  int signo;
  bool ignoresTerm;  // the converter and its child: only SIGKILL ends them
};

class CliHangingConverter : public CliSafety, public ::testing::WithParamInterface<HangCase> {};

TEST_P(CliHangingConverter, InterruptEndsItsWholeGroupAndTheTool) {
  writeImage();
  std::string body = GetParam().ignoresTerm ? "trap '' TERM\n" : "";
  body += "printf partial > LSB.tmp\nsleep 1000 &\necho $! > '" + (dir_ / "sleeper.pid").string() +
          "'\n: > '" + (dir_ / "started").string() + "'\nwait\n";
  writeFile(dir_ / "hex55", converterScript(body), true);
  Child cli(cliSetup({"--port", kPort}, std::nullopt));
  ASSERT_TRUE(waitForText(dir_ / "converter.log", "ran", kPromptWait));
  for (int i = 0; i < 200 && !fs::exists(dir_ / "started"); ++i) std::this_thread::sleep_for(10ms);
  cli.signal(GetParam().signo);
  Outcome outcome = finish(cli);
  EXPECT_EQ(outcome.status, 128 + GetParam().signo);
  EXPECT_TRUE(outcome.err.ends_with(" before anything was sent to the instrument.\n"))
      << outcome.err;
  EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << "one line only: " << outcome.err;
  EXPECT_FALSE(temporaryFilesLeft());
  std::string sleeper = readFile(dir_ / "sleeper.pid");
  sleeper.erase(sleeper.find_last_not_of('\n') + 1);
  ASSERT_FALSE(sleeper.empty());
  EXPECT_TRUE(processEnded(std::stol(sleeper))) << "the converter's child still runs";
}

INSTANTIATE_TEST_SUITE_P(Signals, CliHangingConverter,
                         ::testing::Values(HangCase{"SIGINT", SIGINT, false},
                                           HangCase{"SIGTERM", SIGTERM, false},
                                           HangCase{"SIGHUP", SIGHUP, false},
                                           HangCase{"StubbornSIGTERM", SIGTERM, true}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace quorvel::testing
