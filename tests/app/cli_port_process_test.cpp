// quorvel-upgrade's port options as a child process, against the simulated instrument.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "tests/app/cli_fixture.h"
#include "tests/support/line_settings.h"
#include "tests/support/simulator_process.h"

namespace quorvel::testing {
namespace {

TEST_F(CliProcess, FindPrintsEachAnsweringPortAndTellsWhyOthersDidNot) {
  startSimulator();
  SimulatorProcess quiet(SIM_PATH, {"--silent-modbus", "--link", (dir_ / "quiet").string()});
  ASSERT_TRUE(quiet.ready());
  Outcome found = run({"--find", "--port", "quiet", "--port", kPort, "--port", "nope"});
  EXPECT_EQ(found.status, 0) << found.err;
  EXPECT_EQ(found.out, std::string(kPort) + "\tregister 0x0100\n");  // no trace among them
  EXPECT_EQ(found.err, "quiet: no answer\nnope: does not exist\n");
  Outcome none = run({"--find", "--port", "quiet"});
  EXPECT_EQ(none.status, 10);
  EXPECT_EQ(none.out, "");
}

TEST_F(CliProcess, ListPortsGivesFourFieldsPerPortOrSaysThereIsNone) {
  Outcome listed = run({"--list-ports"});
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(listed.err, listed.out.empty() ? "No serial port found.\n" : "");
  std::istringstream lines(listed.out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 3) << line;
  }
}

TEST_F(CliProcess, MissingPortIsReportedWithThePresentOnesBeforeTheWarning) {
  prepare();
  Outcome outcome = run({"--port", "nope", "--yes"});
  EXPECT_EQ(outcome.status, 10);
  EXPECT_TRUE(contains(outcome.err, "ERROR : Serial port nope does not exist.\n")) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "Serial ports present:\n  /dev/") ||
              contains(outcome.err, "No serial port found.\n"));
  EXPECT_FALSE(contains(outcome.err, "DO YOU REALLY WANT TO CONTINUE"));
  EXPECT_EQ(outcome.out, "");
  EXPECT_FALSE(temporaryFilesLeft());
}

// An upgrade's port is its own from the port check to the close of the transfer port, also
// while no descriptor holds it between the two speeds: a search reports it in use and sends
// nothing, a second upgrade ends before the erase warning, and the first one succeeds.
TEST_F(CliProcess, AnUpgradesPortIsReservedForTheWholeRun) {
  prepare();
  startSimulator({"--silent-modbus"});  // the loader entry then waits out its three reads
  ChildSetup setup = cliSetup({"--port", kPort, "--yes"}, std::string(), "2");
  setup.stdoutFile = dir_ / "first.out";
  setup.stderrFile = dir_ / "first.err";
  Child first(setup);
  ASSERT_TRUE(waitForText(dir_ / "first.out", "Trying to read Modbus adress", kRunTimeout))
      << readFile(dir_ / "first.err");
  Outcome search = run({"--find", "--port", kPort});
  EXPECT_EQ(search.status, 10);
  EXPECT_EQ(search.err, std::string(kPort) + ": in use by another upgrade\n");
  Outcome second = run({"--port", kPort, "--yes"});
  EXPECT_EQ(second.status, 10) << second.err;
  EXPECT_TRUE(contains(second.err, "ERROR : Serial port sim is in use by another upgrade.\n"))
      << second.err;
  EXPECT_FALSE(contains(second.err, "DO YOU REALLY WANT TO CONTINUE"));
  EXPECT_EQ(first.wait(kRunTimeout), 0) << readFile(dir_ / "first.err");
  EXPECT_TRUE(contains(readFile(dir_ / "first.out"), "Trying to read Modbus adress"));
  expectDumpEqualsImage();
}

// A run killed with SIGKILL takes its reservation with it.
TEST_F(CliProcess, AKilledUpgradeLeavesNoReservationBehind) {
  prepare();
  startSimulator({"--silent-modbus"});
  ChildSetup setup = cliSetup({"--port", kPort, "--yes"}, std::string(), "2");
  setup.stdoutFile = dir_ / "killed.out";
  Child killed(setup);
  ASSERT_TRUE(waitForText(dir_ / "killed.out", "Trying to read Modbus adress", kRunTimeout));
  killed.signal(SIGKILL);
  ASSERT_EQ(killed.wait(kRunTimeout), 128 + SIGKILL);
  Outcome next = run({"--port", kPort, "--yes"});
  EXPECT_FALSE(contains(next.err, "in use by another upgrade")) << next.err;
  EXPECT_TRUE(contains(next.err, "DO YOU REALLY WANT TO CONTINUE ? yes (--yes)")) << next.err;
}

// Ctrl+C or SIGTERM during a search ends it at once (well inside the 2 s the probe would wait
// for an answer), and the port keeps the line settings it had before.
TEST_F(CliProcess, InterruptedSearchEndsAtOnceAndLeavesThePortAsFound) {
  startSimulator({"--silent-modbus"});
  const int line = ::open((dir_ / kPort).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(line, 0);
  termios settings = lineSettings(line);
  settings.c_cflag |= CSTOPB;
  cfsetispeed(&settings, B4800);
  cfsetospeed(&settings, B4800);
  ASSERT_EQ(tcsetattr(line, TCSANOW, &settings), 0);
  const termios found = lineSettings(line);
  for (const int signalNumber : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signalNumber);
    Child search(cliSetup({"--find", "--port", kPort}, std::string(), nullptr));  // true timing
    for (int i = 0; i < 2000 && cfgetospeed(&found) == cfgetospeed(&settings); ++i) {
      settings = lineSettings(line);
      usleep(5000);
    }
    ASSERT_EQ(cfgetospeed(&settings), B9600) << "the probe never took the line";
    const auto signalled = std::chrono::steady_clock::now();
    search.signal(signalNumber);
    Outcome outcome = finish(search);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 1500ms);
    EXPECT_EQ(outcome.status, 128 + signalNumber);
    EXPECT_TRUE(contains(outcome.err, "Search interrupted (")) << outcome.err;
    EXPECT_TRUE(sameSettings(lineSettings(line), found));
    settings = found;
  }
  ::close(line);
}

}  // namespace
}  // namespace quorvel::testing
