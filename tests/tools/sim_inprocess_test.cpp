// The simulator library driven in-process, its loop on a thread of its own, as a benchmark
// or an engine test may use it.
#include <gtest/gtest.h>

#include <thread>

#include "tests/tools/sim_test_support.h"
#include "tools/quorvel-sim/simulator.h"

namespace quorvel::sim {
namespace {

using namespace std::chrono_literals;

SimOptions loaderOnly() {
  SimOptions options;
  options.silentModbus = true;
  options.frameGapMs = 5;
  options.timeoutS = 30;
  return options;
}

TEST(SimInProcess, RunsASessionAndKeepsImageAndTurnarounds) {
  Simulator simulator(loaderOnly());
  std::string error;
  ASSERT_TRUE(simulator.open(error)) << error;
  int exitCode = -1;
  std::thread loop([&] { exitCode = simulator.run(); });
  {
    test::HostPort port(simulator.devicePath());
    port.send(test::sectorFrame(0x10, {1, 2, 3}, 0));
    EXPECT_EQ(port.receive(2), "G\r");
    port.send(test::sectorFrame(0x13, {4}, 0));
    EXPECT_EQ(port.receive(2), "G\r");
    port.send("GO");
  }
  loop.join();
  EXPECT_EQ(exitCode, kExitDone);
  ASSERT_EQ(simulator.instrument().image().runs().size(), 1u);
  EXPECT_EQ(simulator.instrument().image().runs().at(0x10),
            (std::vector<std::uint16_t>{1, 2, 3, 4}));
  ASSERT_EQ(simulator.turnarounds().size(), 2u);
  EXPECT_LE(simulator.turnarounds()[0].toFirstByte, simulator.turnarounds()[0].toLastByte);
}

TEST(SimInProcess, StopRequestFromAnotherThreadEndsTheRun) {
  Simulator simulator(loaderOnly());
  std::string error;
  ASSERT_TRUE(simulator.open(error)) << error;
  int exitCode = -1;
  std::thread loop([&] { exitCode = simulator.run(); });
  std::this_thread::sleep_for(20ms);
  simulator.requestStop();
  loop.join();
  EXPECT_EQ(exitCode, kExitTerminated);
}

}  // namespace
}  // namespace quorvel::sim
