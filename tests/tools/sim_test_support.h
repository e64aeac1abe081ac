#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/quorvel-sim/pty_line.h"

namespace quorvel::sim::test {

using std::chrono::milliseconds;

// A sector frame as the host puts it on the line: address high and low word, data words,
// checksum low and high word, compatibility word; every word low byte first.
std::string sectorFrame(std::uint32_t address, const std::vector<std::uint16_t>& words,
                        std::uint16_t compat);

// A fresh directory, removed with its files when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

std::string readWholeFile(const std::string& path);

// The simulator as a child process; killed when destroyed if still running.
class SimProcess {
 public:
  // Starts quorvel-sim with `args` (plus a short frame gap and time-out unless given) and
  // waits for the device path on its first stdout line. Stderr goes to `stderrPath` if set.
  explicit SimProcess(std::vector<std::string> args, std::string stderrPath = {});
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  const std::string& devicePath() const { return devicePath_; }
  void signal(int signalNumber) const;
  // The exit code, 128 + signal when killed, or -1 if it is still running after `limit`.
  int waitExit(milliseconds limit = milliseconds(5000));

 private:
  pid_t pid_ = -1;
  std::string devicePath_;
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
