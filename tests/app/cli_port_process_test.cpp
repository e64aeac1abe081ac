// quorvel-upgrade's port options as a child process, against the simulated instrument.
#include <algorithm>
#include <sstream>

#include "tests/app/cli_fixture.h"
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

}  // namespace
}  // namespace quorvel::testing
