// quorvel-upgrade as a child process in a scratch directory, against the simulated
// instrument on a pseudo-terminal.
#include <pty.h>
#include <unistd.h>

#include <thread>

#include "tests/app/cli_fixture.h"

namespace quorvel::testing {
namespace {

TEST_F(CliProcess, UsageErrorsStopBeforeTheConverter) {
  prepare();
  const std::vector<std::vector<std::string>> cases = {{},
                                                       {"--yes"},
                                                       {"--port"},
                                                       {"--port", ""},
                                                       {"--port", "sim", "--fast"},
                                                       {"--port", "sim", "x"}};
  for (const auto& args : cases) {
    Outcome outcome = run(args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_TRUE(contains(outcome.err, "Usage: quorvel-upgrade --port NAME")) << outcome.err;
    EXPECT_EQ(outcome.out, "");
  }
  EXPECT_FALSE(converterRan());
}

TEST_F(CliProcess, HelpAndVersionGoToStandardOutput) {
  Outcome help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(contains(help.out, "--port NAME"));
  EXPECT_TRUE(contains(help.out, "Exit status"));
  Outcome version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "quorvel-upgrade version 3.13\n");
  EXPECT_FALSE(converterRan());
}

// The hint names the program the user ran, and where it looks for the file.
constexpr const char* kMissingFileHint =
    " not found !\nPlease copy it in the current directory, where quorvel-upgrade looks for it\n";

TEST_F(CliProcess, MissingImageIsReportedAfterTheConverterRan) {
  writeConverter();
  Outcome outcome = run({"--port", kPort, "--yes"});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_TRUE(outcome.err.ends_with(std::string("Required file quorvel.out") + kMissingFileHint))
      << outcome.err;
  EXPECT_FALSE(contains(outcome.err, "DO YOU REALLY WANT TO CONTINUE"));
  EXPECT_TRUE(converterRan());
  EXPECT_FALSE(temporaryFilesLeft());
}

// Nothing but our own message: no shell gets to say "not found" first.
TEST_F(CliProcess, MissingConverterIsReportedOnce) {
  writeImage();
  Outcome outcome = run({"--port", kPort, "--yes"});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_TRUE(outcome.err.ends_with(std::string("Required file hex55") + kMissingFileHint))
      << outcome.err;
  EXPECT_EQ(outcome.err.find("not found"), outcome.err.rfind("not found")) << outcome.err;
  EXPECT_EQ(outcome.out, "");
  EXPECT_FALSE(temporaryFilesLeft());
}

constexpr const char* kDeclined = "Upgrade declined: nothing was sent to the instrument.\n";
constexpr const char* kInputEnded =
    "No answer (end of input): nothing was sent to the instrument.\n";

TEST_F(CliProcess, AnythingButYesDeclinesAndSaysWhy) {
  prepare();
  startSimulator();
  for (const char* input : {"n\n", "", "maybe\n", "\n"}) {
    SCOPED_TRACE(input);
    Outcome outcome = run({"--port", kPort}, input);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(outcome.err.ends_with(*input == '\0' ? kInputEnded : kDeclined)) << outcome.err;
    EXPECT_TRUE(contains(outcome.err,
                         "You are about to upgrade your Quorvel with firmware compatibility 1.3\n"
                         "ALL DATA WILL BE ERASED, so you should import them to your\n"
                         "PC before downloading the new firmware !\n"
                         "DO YOU REALLY WANT TO CONTINUE ?"))
        << outcome.err;
    EXPECT_FALSE(contains(outcome.err, "Turn OFF"));
    EXPECT_FALSE(contains(outcome.err, "ERROR"));
    EXPECT_EQ(outcome.out, "");  // nothing went to the line, so no trace
    EXPECT_FALSE(temporaryFilesLeft());
  }
  EXPECT_FALSE(imageReceived());
}

TEST_F(CliProcess, EndOfInputAtThePowerCyclePromptStartsNothing) {
  prepare();
  startSimulator();  // the port must exist to reach the prompts
  Outcome outcome = run({"--port", kPort}, "y\n");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_TRUE(contains(outcome.err, "Turn OFF and then turn ON your Quorvel.")) << outcome.err;
  EXPECT_TRUE(outcome.err.ends_with(kInputEnded)) << outcome.err;
  EXPECT_EQ(outcome.out, "");
  EXPECT_FALSE(temporaryFilesLeft());
}

TEST_F(CliProcess, UnattendedUpgradeDeliversTheImage) {
  prepare();
  startSimulator();
  Outcome outcome = run({"--port", kPort, "--yes"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "Download successful.\n"));
  EXPECT_TRUE(contains(outcome.err, "Progress: 100 %\nDownload successful.\n")) << outcome.err;
  EXPECT_FALSE(contains(outcome.err, "Turn OFF"));
  // Standard output carries the traces and nothing else.
  EXPECT_EQ(outcome.out.rfind("Trying to read Modbus adress", 0), 0u) << outcome.out;
  EXPECT_TRUE(contains(outcome.out, "Sending sector number 1, try 1 ("));
  EXPECT_TRUE(
      contains(outcome.out, "The sector has been correctly received by the remote device\n"));
  EXPECT_FALSE(contains(outcome.out, "Progress"));
  EXPECT_FALSE(temporaryFilesLeft());
  expectDumpEqualsImage();
}

TEST_F(CliProcess, InteractiveUpgradeAsksForThePowerCycle) {
  prepare();
  startSimulator();
  Outcome outcome = run({"--port", kPort}, "yes\n\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(
      contains(outcome.err, "Turn OFF and then turn ON your Quorvel.\nWhen done press Enter"));
  EXPECT_TRUE(contains(outcome.err, "Download successful."));
  EXPECT_FALSE(temporaryFilesLeft());
  expectDumpEqualsImage();
}

TEST_F(CliProcess, PortThatCannotBeOpenedGives10) {
  prepare();
  writeFile(dir_ / "nope", "");  // there, but no serial device
  Outcome outcome = run({"--port", "nope", "--yes"});
  EXPECT_EQ(outcome.status, 10);
  EXPECT_TRUE(contains(outcome.err, "ERROR : Unable to open serial port.\n")) << outcome.err;
  EXPECT_TRUE(contains(outcome.out, "Open RS232 Error (line 238) !!!!\n"));
  EXPECT_FALSE(temporaryFilesLeft());
}

TEST_F(CliProcess, SectorNeverAcknowledgedGives30) {
  prepare();
  startSimulator({"--reject-sector", "2:3"});
  Outcome outcome = run({"--port", kPort, "--yes"});
  EXPECT_EQ(outcome.status, 30);
  EXPECT_TRUE(contains(outcome.err, "ERROR : Unable to update Quorvel firmware.\n\nPlease verify"))
      << outcome.err;
  EXPECT_TRUE(contains(outcome.out, "Sending sector number 2, try 3 ("));
  EXPECT_TRUE(contains(outcome.out, "Download failed : max number of tries reached\n"));
  EXPECT_FALSE(temporaryFilesLeft());
  EXPECT_FALSE(imageReceived());
}

TEST_F(CliProcess, CorruptedConversionGives20WithoutTouchingTheLine) {
  writeImage();
  writeConverter(true);
  startSimulator();
  Outcome outcome = run({"--port", kPort, "--yes"});
  EXPECT_EQ(outcome.status, 20);
  EXPECT_TRUE(contains(outcome.err, "ERROR : File to download quorvel.out or utility hex55"))
      << outcome.err;
  EXPECT_FALSE(contains(outcome.out, "Sending sector"));
  EXPECT_FALSE(temporaryFilesLeft());
  EXPECT_FALSE(imageReceived());
}

// A name the downloader would cut must never reach the port cut: "simlong" would become
// "simlon", which here leads nowhere, but on a real machine could be another device.
TEST_F(CliProcess, LongPortNameIsUsedWholeOrRefused) {
  prepare();
  startSimulator();
  fs::create_symlink(dir_ / kPort, dir_ / "simlong-name-of-the-port");
  Outcome outcome = run({"--port", "simlong-name-of-the-port", "--yes"});
  EXPECT_TRUE(outcome.status == 0 || outcome.status == 2) << outcome.status << outcome.err;
  EXPECT_FALSE(contains(outcome.out, "Open RS232 Error"));
  EXPECT_FALSE(temporaryFilesLeft());
}

struct InterruptCase {
  int signo;
  int count;
};

class CliInterrupt : public CliProcess, public ::testing::WithParamInterface<InterruptCase> {};

// Paced at the real line speed (a first sector of 4096 words is 0.7 s on the line), with
// time-outs long enough for it. The signal comes while the first sector is under way; a
// cancel is seen after the next frame at the latest, so sector 3 is never sent.
TEST_P(CliInterrupt, DuringTheTransferCancelsAndCleansUp) {
  prepare();
  startSimulator({"--pace"});
  Child cli(cliSetup({"--port", kPort, "--yes"}, std::string(), "4"));
  ASSERT_TRUE(waitForText(dir_ / "cli.out", "Sending sector number 1,", kRunTimeout))
      << readFile(dir_ / "cli.out");
  for (int i = 0; i < GetParam().count; ++i) cli.signal(GetParam().signo);
  Outcome outcome = finish(cli);
  EXPECT_EQ(outcome.status, 40) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "Canceling the download...\n")) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "Download canceled by user.\n")) << outcome.err;
  EXPECT_FALSE(contains(outcome.out, "Sending sector number 3"));
  EXPECT_FALSE(temporaryFilesLeft());
  EXPECT_FALSE(imageReceived());
}

INSTANTIATE_TEST_SUITE_P(Signals, CliInterrupt,
                         ::testing::Values(InterruptCase{SIGINT, 1}, InterruptCase{SIGINT, 2},
                                           InterruptCase{SIGTERM, 1}));

struct PromptCase {
  const char* input;   // answers given before the signal
  const char* prompt;  // the prompt the signal interrupts
  int signo;
  const char* name;
};

class CliPromptInterrupt : public CliProcess, public ::testing::WithParamInterface<PromptCase> {};

TEST_P(CliPromptInterrupt, EndsCleanlyWithoutDownload) {
  prepare();
  startSimulator();  // the port must exist to reach the prompts
  Child cli(cliSetup({"--port", kPort}, std::nullopt));
  cli.writeStdin(GetParam().input);
  ASSERT_TRUE(waitForText(dir_ / "cli.err", GetParam().prompt, kPromptWait))
      << readFile(dir_ / "cli.err");
  cli.signal(GetParam().signo);
  Outcome outcome = finish(cli);
  EXPECT_EQ(outcome.status, 128 + GetParam().signo);
  EXPECT_TRUE(outcome.err.ends_with(std::string("Upgrade interrupted (") + GetParam().name +
                                    ") before anything was sent to the instrument.\n"))
      << outcome.err;
  EXPECT_EQ(outcome.out, "");
  EXPECT_FALSE(temporaryFilesLeft());
}

INSTANTIATE_TEST_SUITE_P(
    Prompts, CliPromptInterrupt,
    ::testing::Values(PromptCase{"", "DO YOU REALLY WANT TO CONTINUE ?", SIGINT, "SIGINT"},
                      PromptCase{"", "DO YOU REALLY WANT TO CONTINUE ?", SIGTERM, "SIGTERM"},
                      PromptCase{"y\n", "When done press Enter", SIGINT, "SIGINT"}));

// On a terminal the progress is one bar redrawn in place.
TEST_F(CliProcess, ProgressBarOnATerminal) {
  prepare();
  startSimulator();
  int master = -1;
  int slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  std::string screen;
  std::thread reader([master, &screen] {
    char buffer[512];
    for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) > 0;) {
      screen.append(buffer, static_cast<std::size_t>(got));
    }
  });
  ChildSetup setup = cliSetup({"--port", kPort, "--yes"}, std::string());
  setup.stderrFd = slave;
  Child cli(setup);
  ::close(slave);
  Outcome outcome = finish(cli);
  reader.join();  // ends with EIO once the child's side is closed
  ::close(master);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(contains(screen, "\r[")) << screen;
  EXPECT_TRUE(contains(screen, "] 100 %\r\nDownload successful.")) << screen;
  EXPECT_FALSE(contains(screen, "Progress:"));
}

}  // namespace
}  // namespace quorvel::testing
