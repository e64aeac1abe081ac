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

TEST(PortChoice, TakesTheOnePortThatAnswersOrSaysWhatWasFound) {
  ScopedTimingScale fast(20);
  SimulatorProcess first = simulator();
  SimulatorProcess second = simulator({"--register-value", "0x0200"});
  SimulatorProcess silent = simulator({"--silent-modbus"});
  const std::string a = first.devicePath(), b = second.devicePath(), q = silent.devicePath();
  struct Case {
    std::vector<std::string> candidates;
    int status;
    std::string port;
    std::string messages;
  };
  const Case cases[] = {
      {{q, "/nonexistent/ttyQ0", a}, 0, a, "Quorvel found on " + a + ".\n"},
      {{q, "/nonexistent/ttyQ0"},
       10,
       "",
       "ERROR : No Quorvel answered on these ports:\n  " + q +
           ": no answer\n  /nonexistent/ttyQ0: does not exist\n"},
      {{a, b},
       2,
       "",
       "ERROR : Several instruments answered:\n  " + a + ": answered, register 0x0100\n  " + b +
           ": answered, register 0x0200\nChoose one with --port.\n"},
      {{}, 10, "", "ERROR : No serial port found.\n"},
  };
  for (const Case& c : cases) {
    ::testing::internal::CaptureStderr();
    PortChoice choice = chooseAnsweringPort(c.candidates);
    std::string messages = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(choice.status, c.status) << messages;
    EXPECT_EQ(choice.port, c.port);
    EXPECT_NE(messages.find(c.messages), std::string::npos) << messages;
  }
}

// The console is marked in the description, so that the line keeps its four fields; what a
// device says of itself can add no field and send nothing to the terminal, while its name in
// another script shows as it is.
TEST(PortChoice, ListLineKeepsItsFourFieldsWhateverTheDeviceSays) {
  SerialPortInfo console{"/dev/ttyS0", "Serial port", {}, {}, "", "", true};
  EXPECT_EQ(portLine(console), "/dev/ttyS0\tSerial port (system console)\t-\t-\n");
  console.isConsole = false;
  EXPECT_EQ(portLine(console), "/dev/ttyS0\tSerial port\t-\t-\n");

  const SerialPortInfo hostile{"/dev/ttyUSB\x1b[2J0",
                               "Adapter\tfake\x1b]0;title\x07 \xce\x94\xc3",
                               0x0403,
                               0x6001,
                               "SN\x7f\xc2\x9b"
                               "1\n2\xff",
                               "",
                               false};
  EXPECT_EQ(portLine(hostile),
            "/dev/ttyUSB?[2J0\tAdapter?fake?]0;title? \xce\x94\xef\xbf\xbd\t0403:6001\t"
            "SN??1?2\xef\xbf\xbd\n");
}

}  // namespace
}  // namespace quorvel::cli
