#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvel::sim {

// Owns one file descriptor; move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A symlink to the pty for scripts and Wine's COM port mapping; removed when destroyed, but
// only while it still points where this process made it point.
class SymlinkGuard {
 public:
  SymlinkGuard() = default;
  ~SymlinkGuard();
  SymlinkGuard(const SymlinkGuard&) = delete;
  SymlinkGuard& operator=(const SymlinkGuard&) = delete;

  // Replaces a stale symlink at `link`, but never a file or directory.
  bool create(const std::string& link, const std::string& target, std::string& error);

 private:
  std::string link_;
  std::string target_;
};

// The instrument's end of the line: a pseudo-terminal master, plus a slave descriptor held
// open so that the master never sees a hang-up while the host has its port closed (it
// closes and reopens the port between the Modbus phase and the transfer).
class PtyLine {
 public:
  // Creates the pty in raw mode; false with `error` set on failure.
  bool open(std::string& error);

  int master() const { return master_.get(); }
  // Readable when someone (the host) has opened or closed the slave device.
  int openCloseEvents() const { return watch_.get(); }
  const std::string& slavePath() const { return slavePath_; }

  // The speed the host set on its side of the line; 0 when it set none that is known.
  std::uint32_t hostBaud() const;
  // Consumes pending open/close notifications; true when the host's last descriptor was
  // closed meanwhile.
  bool takeHostClosed();
  // Whether the host holds the port open, as of the last takeHostClosed().
  bool hostHasPortOpen() const { return hostOpens_ > 0 || trackingLost_; }
  // Throws away what was sent towards the host but not read by it, as a real port does
  // when it is closed; returns the number of bytes discarded.
  std::size_t discardUnread();
  // Hangs up: the host sees EIO/HUP from now on.
  void drop();

 private:
  UniqueFd master_;
  UniqueFd slave_;
  UniqueFd watch_;
  std::string slavePath_;
  int hostOpens_ = 0;          // descriptors of the slave that others hold open
  bool trackingLost_ = false;  // notifications overflowed: assume the port is open
};

}  // namespace quorvel::sim
