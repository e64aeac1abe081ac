// The shipped quorvel-upgrade against a simulator paced at the real line speed: the run the
// README's demo makes. The time divisor of the test builds is set, and must change nothing.
#include <chrono>

#include "tests/app/cli_fixture.h"

namespace quorvel::testing {
namespace {

// Loader-mode entry: 2000 ms after the order, then 1000 ms before the transfer.
constexpr auto kLoaderEntryPauses = 3000ms;

TEST_F(CliProcess, UpgradeAtRealTiming) {
  writeImage("3000");
  writeConverter();
  startSimulator({"--pace"});
  auto start = std::chrono::steady_clock::now();
  Child cli(cliSetup({"--port", kPort, "--yes"}, std::string(), nullptr));
  Outcome outcome = finish(cli);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "Download successful.\n"));
  // The pauses are not shortened.
  EXPECT_GE(elapsed, kLoaderEntryPauses);
  EXPECT_FALSE(temporaryFilesLeft());
  expectDumpEqualsImage();
}

}  // namespace
}  // namespace quorvel::testing
