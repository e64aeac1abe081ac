// The identity probe: what it sends (one read request, nothing else) and what it makes of
// each kind of port, probed all at once against the simulated instrument.
#include "engine/instrument_probe.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/timing.h"
#include "serial/port_reservation.h"
#include "serial/serial_port.h"
#include "tests/support/pty_peer.h"
#include "tests/support/simulator_process.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using testing::SimulatorProcess;

// No download order, no second attempt; nothing at all on a port that an upgrade holds.
TEST(InstrumentProbe, SendsOneReadRequestAndNothingElse) {
  ScopedTimingScale fast(20);
  struct Case {
    std::string answer;
    bool reserved;
    ProbeStatus status;
    std::string sent;
  };
  const Case cases[] = {
      {":0103020100F9\r\n", false, ProbeStatus::Answered, ":0103001C0001DF\r\n"},
      {"", false, ProbeStatus::Silent, ":0103001C0001DF\r\n"},
      {":0103020100F9\r\n", true, ProbeStatus::Reserved, ""},
  };
  for (const Case& c : cases) {
    testing::PtyPair pty;
    testing::ScriptedPeer peer(pty.master, testing::cutAtLineFeed,
                               [&](const std::string&) { return c.answer; });
    PortReservation upgrade;
    if (c.reserved) upgrade.reserve(pty.path, PortReservation::Use::Run);
    ProbeResult result = probeInstrument(pty.path);
    peer.awaitQuiet(200ms);
    EXPECT_EQ(peer.received(), c.sent) << c.answer;
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.registerValue, c.status == ProbeStatus::Answered ? 0x0100 : 0);
  }
}

SimulatorProcess simulator(std::vector<std::string> faults) {
  faults.insert(faults.end(), {"--timeout", "60"});
  return SimulatorProcess(QUORVEL_SIM_PATH, faults);
}

TEST(InstrumentProbe, TellsEachKindOfPortApartInOneParallelRound) {
  ScopedTimingScale fast(20);
  SimulatorProcess answering = simulator({"--register-value", "0x2A5C"});
  SimulatorProcess silent = simulator({"--silent-modbus"});
  SimulatorProcess exception = simulator({"--modbus-exception"});
  SimulatorProcess otherSlave = simulator({"--modbus-slave", "2"});
  SimulatorProcess held = simulator({});
  SerialPort holder;
  ASSERT_TRUE(holder.open(held.devicePath().c_str(), 9600));
  const std::string plainFile = ::testing::TempDir() + "quorvel-probe-not-a-port";
  std::ofstream(plainFile) << "text";
  std::vector<std::pair<std::string, ProbeStatus>> cases = {
      {answering.devicePath(), ProbeStatus::Answered},
      {silent.devicePath(), ProbeStatus::Silent},
      {exception.devicePath(), ProbeStatus::Exception},
      {otherSlave.devicePath(), ProbeStatus::Garbled},
      {held.devicePath(), ProbeStatus::Busy},
      {"/nonexistent/ttyQ0", ProbeStatus::Missing},
      {plainFile, ProbeStatus::NotSerial}};
  testing::PtyPair forbidden;
  if (geteuid() != 0 && ::chmod(forbidden.path.c_str(), 0) == 0) {  // root ignores the mode
    cases.emplace_back(forbidden.path, ProbeStatus::NoPermission);
  }
  std::vector<std::string> ports;
  for (const auto& c : cases) ports.push_back(c.first);

  DiscardTraces discard;
  ::testing::internal::CaptureStdout();
  std::vector<ProbeResult> results = probeInstruments(ports, discard);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "open errors belong to the sink";

  ASSERT_EQ(results.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(results[i].port, cases[i].first);
    EXPECT_EQ(results[i].status, cases[i].second) << cases[i].first;
  }
  EXPECT_EQ(results[0].registerValue, 0x2A5C);
  std::remove(plainFile.c_str());
}

}  // namespace
}  // namespace quorvel
