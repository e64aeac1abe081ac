#pragma once

#include <termios.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/scratch_dir.h"
#include "tests/support/simulator_process.h"
#include "tools/quorvel-sim/pty_line.h"

namespace quorvel::sim::test {

using std::chrono::milliseconds;

// A sector frame as the host puts it on the line: address high and low word, data words,
// checksum low and high word, compatibility word; every word low byte first.
std::string sectorFrame(std::uint32_t address, const std::vector<std::uint16_t>& words,
                        std::uint16_t compat);

// quorvel-sim as a child process, with a short frame gap and time-out unless `args` name
// their own; stopped when destroyed if still running.
class SimProcess : public quorvel::testing::SimulatorProcess {
 public:
  // Stderr goes to `stderrPath` if set.
  explicit SimProcess(std::vector<std::string> args, const std::string& stderrPath = {});
};

// The host's end of the line: the pty slave in raw mode, as a serial port would set it.
class HostPort {
 public:
  explicit HostPort(const std::string& path, speed_t speed = B115200);
  bool isOpen() const { return fd_.valid(); }
  void close() { fd_.reset(); }

  void send(std::string_view bytes);
  // Up to `count` bytes, returning early once they all arrived or after `limit`.
  std::string receive(std::size_t count, milliseconds limit = milliseconds(2000));
  // Everything that arrives within `window` (for checking silence).
  std::string receiveFor(milliseconds window);
  // True when the line has been hung up (reads fail with EIO or poll reports POLLHUP).
  bool hungUp(milliseconds limit = milliseconds(2000));

 private:
  UniqueFd fd_;
};

}  // namespace quorvel::sim::test
