// The downloader against the simulated instrument, each fault it can inject.
#include "tests/engine/downloader_fixture.h"
#include "tests/support/simulator_process.h"

namespace quorvel::testing {
namespace {

constexpr const char* kSimLink = "./sim";

// The simulator behind `kSimLink`, ready once it has printed its pty path.
SimulatorProcess startSimulator(const std::vector<std::string>& faultArgs) {
  std::vector<std::string> args{"--link", kSimLink, "--timeout", "60"};
  args.insert(args.end(), faultArgs.begin(), faultArgs.end());
  return SimulatorProcess(QUORVEL_SIM_PATH, args);
}

struct FaultCase {
  std::vector<std::string> simArgs;
  std::int32_t result;
  std::size_t percentages;  // of three sectors, and the final 100
};

TEST_F(DownloaderTest, AgainstTheSimulator) {
  const std::string compatibility = std::to_string(kCompatibility);
  const FaultCase cases[] = {
      {{"--expect-compat", compatibility}, Success, 4},
      {{"--ack-bytes", "1"}, Success, 4},
      {{"--silent-modbus"}, Success, 4},
      {{"--reject-sector", "2:2"}, Success, 4},
      {{"--silent-sector", "2:2"}, Success, 4},
      {{"--garbage-sector", "3:2"}, Success, 4},
      {{"--reject-sector", "2:3"}, TransferFailed, 1},
      {{"--garbage-sector", "1:3"}, TransferFailed, 0},
      {{"--expect-compat", "0x0203"}, TransferFailed, 0},
      {{"--drop-after-sector", "1"}, TransferFailed, 1},
      // An invalid Modbus answer is no answer: no download order, so no loader mode.
      {{"--modbus-exception"}, TransferFailed, 0},
      {{"--modbus-lowercase"}, TransferFailed, 0},
      {{"--modbus-slave", "2"}, TransferFailed, 0},
  };
  writeConvertedImage(sectors);
  construct(kSimLink);
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.simArgs.front());
    RecordingTarget progress;
    SimulatorProcess sim = startSimulator(c.simArgs);
    ASSERT_TRUE(sim.ready());
    ::testing::internal::CaptureStdout();
    const bool succeeded = downloader->runDownload(progress, WM_DOWNLOAD_PROGRESS);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(succeeded, c.result == Success);
    EXPECT_EQ(downloader->result(), c.result);
    EXPECT_EQ(progress.percentages().size(), c.percentages);
    // Ends a simulator still waiting for "GO"; 0 only when "GO" arrived.
    const int simExit = succeeded ? sim.waitExit() : sim.terminate();
    EXPECT_EQ(simExit == 0, succeeded);
  }
}

}  // namespace
}  // namespace quorvel::testing
