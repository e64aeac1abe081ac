#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// The simulated instrument (quorvel-sim) as a child process, for tests and benchmarks.
namespace quorvel::testing {

// Generous limits: they only end waits that would otherwise hang on a broken simulator.
constexpr std::chrono::milliseconds kSimulatorStartLimit{10000};
constexpr std::chrono::milliseconds kSimulatorExitLimit{10000};
constexpr std::chrono::milliseconds kSimulatorStopGrace{5000};  // after SIGTERM, then SIGKILL

// A running simulator; stopped (SIGTERM) and reaped when destroyed.
class SimulatorProcess {
 public:
  // Starts `program` with `args` and waits for the device path on its first stdout line.
  // Stderr goes to `stderrPath` if set, otherwise it is inherited.
  SimulatorProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::string& stderrPath = {});
  ~SimulatorProcess();
  SimulatorProcess(SimulatorProcess&& other) noexcept;
  SimulatorProcess& operator=(SimulatorProcess&& other) noexcept;
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;

  // Started and has printed its device path.
  bool ready() const { return !devicePath_.empty(); }
  const std::string& devicePath() const { return devicePath_; }
  void signal(int signalNumber) const;
  // The exit code, 128 + signal when killed, or -1 if it is still running after `limit`
  // (or was never started).
  int waitExit(std::chrono::milliseconds limit = kSimulatorExitLimit);
  // SIGTERM (SIGKILL if it lingers past the grace), then its exit status as waitExit's.
  int terminate();

 private:
  pid_t pid_ = -1;
  std::string devicePath_;
};

}  // namespace quorvel::testing
