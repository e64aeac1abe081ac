// --port auto's choice among the probed ports, over simulated instruments.
#include <gtest/gtest.h>

#include "app/cli/port_commands.h"
#include "platform/timing.h"
#include "tests/support/simulator_process.h"

namespace quorvel::cli {
namespace {

using testing::SimulatorProcess;

SimulatorProcess simulator(std::vector<std::string> faults = {}) {
  faults.insert(faults.end(), {"--timeout", "60"});
  return SimulatorProcess(SIM_PATH, faults);
}

struct Choice {
  PortChoice choice;
  std::string messages;
};

Choice choose(const std::vector<std::string>& candidates) {
  ScopedTimingScale fast(20);
  ::testing::internal::CaptureStderr();
  PortChoice choice = chooseAnsweringPort(candidates);
  return {choice, ::testing::internal::GetCapturedStderr()};
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(PortChoice, TakesTheOnePortThatAnswersAndNamesIt) {
  SimulatorProcess silent = simulator({"--silent-modbus"});
  SimulatorProcess instrument = simulator();
  ASSERT_TRUE(silent.ready() && instrument.ready());
  Choice result = choose({silent.devicePath(), "/nonexistent/ttyQ0", instrument.devicePath()});
  EXPECT_EQ(result.choice.status, 0) << result.messages;
  EXPECT_EQ(result.choice.port, instrument.devicePath());
  EXPECT_TRUE(contains(result.messages, "Quorvel found on " + instrument.devicePath() + ".\n"))
      << result.messages;
}

TEST(PortChoice, WithoutAnAnswerEndsWith10AndListsWhatWasProbed) {
  SimulatorProcess silent = simulator({"--silent-modbus"});
  ASSERT_TRUE(silent.ready());
  Choice result = choose({silent.devicePath(), "/nonexistent/ttyQ0"});
  EXPECT_EQ(result.choice.status, 10);
  EXPECT_TRUE(contains(result.messages,
                       "ERROR : No Quorvel answered on these ports:\n"
                       "  " +
                           silent.devicePath() +
                           ": no answer\n"
                           "  /nonexistent/ttyQ0: does not exist\n"))
      << result.messages;
  EXPECT_EQ(choose({}).choice.status, 10);
}

TEST(PortChoice, SeveralAnswersEndWith2AndAskForThePort) {
  SimulatorProcess first = simulator();
  SimulatorProcess second = simulator({"--register-value", "0x0200"});
  ASSERT_TRUE(first.ready() && second.ready());
  Choice result = choose({first.devicePath(), second.devicePath()});
  EXPECT_EQ(result.choice.status, 2);
  EXPECT_TRUE(contains(result.messages,
                       "ERROR : Several instruments answered:\n"
                       "  " +
                           first.devicePath() +
                           ": answered, register 0x0100\n"
                           "  " +
                           second.devicePath() +
                           ": answered, register 0x0200\n"
                           "Choose one with --port.\n"))
      << result.messages;
}

}  // namespace
}  // namespace quorvel::cli
