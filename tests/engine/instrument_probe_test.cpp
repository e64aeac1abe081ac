// The identity probe: what it sends (one read request, nothing else) and what it makes of
// each kind of port, probed all at once against the simulated instrument.
#include "engine/instrument_probe.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

#include "platform/timing.h"
#include "serial/serial_port.h"
#include "tests/engine/pty_peer.h"
#include "tests/support/simulator_process.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using testing::SimulatorProcess;

constexpr const char* kReadRequest = ":0103001C0001DF\r\n";

class CollectingSink : public TraceSink {
 public:
  void write(std::string_view text) override {
    std::lock_guard lock(mutex_);
    text_ += text;
  }
  std::string text() const {
    std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

TEST(InstrumentProbe, SendsOneReadRequestAndNothingElse) {
  ScopedTimingScale fast(20);
  for (const std::string answer : {":0103020100F9\r\n", ""}) {
    SCOPED_TRACE(answer);
    testing::PtyPair pty;
    testing::ScriptedPeer peer(pty.master, testing::cutAtLineFeed,
                               [&](const std::string&) { return answer; });
    ::testing::internal::CaptureStdout();
    ProbeResult result = probeInstrument(pty.path);
    std::string traces = ::testing::internal::GetCapturedStdout();
    peer.awaitQuiet(200ms);
    EXPECT_EQ(peer.received(), kReadRequest);  // no download order, no second attempt
    EXPECT_EQ(result.port, pty.path);
    EXPECT_EQ(result.status, answer.empty() ? ProbeStatus::Silent : ProbeStatus::Answered);
    EXPECT_EQ(result.registerValue, answer.empty() ? 0 : 0x0100);
    EXPECT_EQ(traces, "");
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
  for (const auto* sim : {&answering, &silent, &exception, &otherSlave, &held}) {
    ASSERT_TRUE(sim->ready());
  }
  SerialPort holder;
  ASSERT_TRUE(holder.open(held.devicePath().c_str(), 9600));
  const std::string plainFile = ::testing::TempDir() + "quorvel-probe-not-a-port";
  std::ofstream(plainFile) << "text";

  struct Case {
    std::string port;
    ProbeStatus status;
  };
  std::vector<Case> cases = {
      {answering.devicePath(), ProbeStatus::Answered},
      {silent.devicePath(), ProbeStatus::Silent},
      {exception.devicePath(), ProbeStatus::Exception},
      {otherSlave.devicePath(), ProbeStatus::Garbled},
      {held.devicePath(), ProbeStatus::Busy},
      {"/nonexistent/ttyQ0", ProbeStatus::Missing},
      {plainFile, ProbeStatus::NotSerial},
  };
  testing::PtyPair forbidden;
  if (geteuid() != 0) {  // root opens whatever the mode says
    ::chmod(forbidden.path.c_str(), 0);
    cases.push_back({forbidden.path, ProbeStatus::NoPermission});
  }
  std::vector<std::string> ports;
  for (const Case& c : cases) ports.push_back(c.port);

  CollectingSink sink;
  ::testing::internal::CaptureStdout();
  std::vector<ProbeResult> results = probeInstruments(ports, sink);
  // The instrument that answered is still in normal operation: no download order went out.
  ProbeResult again = probeInstrument(answering.devicePath());
  std::string stdoutText = ::testing::internal::GetCapturedStdout();

  ASSERT_EQ(results.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(results[i].port, cases[i].port);
    EXPECT_EQ(results[i].status, cases[i].status) << cases[i].port;
  }
  EXPECT_EQ(results[0].registerValue, 0x2A5C);
  EXPECT_EQ(again.status, ProbeStatus::Answered);
  EXPECT_NE(sink.text().find("Open RS232 Error (line 238) !!!!\n"), std::string::npos);
  EXPECT_EQ(stdoutText, "") << "the probes' traces belong to the sink";
  std::remove(plainFile.c_str());
}

}  // namespace
}  // namespace quorvel
