#include "tools/quorvel-sim/pty_line.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace quorvel::sim {
namespace {

struct BaudEntry {
  speed_t code;
  std::uint32_t baud;
};

constexpr std::array kBaudTable{
    BaudEntry{B300, 300},       BaudEntry{B600, 600},       BaudEntry{B1200, 1200},
    BaudEntry{B2400, 2400},     BaudEntry{B4800, 4800},     BaudEntry{B9600, 9600},
    BaudEntry{B19200, 19200},   BaudEntry{B38400, 38400},   BaudEntry{B57600, 57600},
    BaudEntry{B115200, 115200}, BaudEntry{B230400, 230400}, BaudEntry{B460800, 460800},
    BaudEntry{B921600, 921600},
};

std::string describe(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// The target of the symlink at `path`, or "" when it is no symlink.
std::string readLink(const std::string& path) {
  std::array<char, 4096> target{};
  const ssize_t n = ::readlink(path.c_str(), target.data(), target.size() - 1);
  return n > 0 ? std::string(target.data(), static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

SymlinkGuard::~SymlinkGuard() {
  if (!link_.empty() && readLink(link_) == target_) ::unlink(link_.c_str());
}

bool SymlinkGuard::create(const std::string& link, const std::string& target, std::string& error) {
  struct stat existing {};
  if (::lstat(link.c_str(), &existing) == 0) {
    if (!S_ISLNK(existing.st_mode)) {
      error = link + " exists and is not a symlink; not replacing it";
      return false;
    }
    ::unlink(link.c_str());
  }
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    error = describe(("symlink " + link).c_str());
    return false;
  }
  link_ = link;
  target_ = target;
  return true;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::release() {
  return std::exchange(fd_, -1);
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool PtyLine::open(std::string& error) {
  master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master_.valid()) return error = describe("posix_openpt"), false;
  if (::grantpt(master_.get()) != 0) return error = describe("grantpt"), false;
  if (::unlockpt(master_.get()) != 0) return error = describe("unlockpt"), false;
  std::array<char, 128> name{};
  if (::ptsname_r(master_.get(), name.data(), name.size()) != 0) {
    return error = describe("ptsname_r"), false;
  }
  slavePath_ = name.data();
  slave_.reset(::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave_.valid()) return error = describe("open pty slave"), false;
  termios settings{};
  if (::tcgetattr(slave_.get(), &settings) != 0) return error = describe("tcgetattr"), false;
  ::cfmakeraw(&settings);
  // TCSANOW: TCSAFLUSH would throw away a request that a quick host has already sent.
  if (::tcsetattr(slave_.get(), TCSANOW, &settings) != 0) {
    return error = describe("tcsetattr"), false;
  }
  // Watched after our own open so that only other openers are reported.
  watch_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!watch_.valid()) return error = describe("inotify_init1"), false;
  if (::inotify_add_watch(watch_.get(), slavePath_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
    return error = describe("inotify_add_watch"), false;
  }
  return true;
}

std::uint32_t PtyLine::hostBaud() const {
  termios settings{};
  if (::tcgetattr(slave_.get(), &settings) != 0) return 0;
  const speed_t code = ::cfgetospeed(&settings);
  for (const auto& entry : kBaudTable) {
    if (entry.code == code) return entry.baud;
  }
  return 0;
}

bool PtyLine::takeHostClosed() {
  alignas(inotify_event) std::array<char, 4096> buffer{};
  bool closed = false;
  for (;;) {
    const ssize_t n = ::read(watch_.get(), buffer.data(), buffer.size());
    if (n <= 0) break;
    for (ssize_t offset = 0; offset < n;) {
      inotify_event event{};
      std::memcpy(&event, buffer.data() + offset, sizeof event);
      if ((event.mask & IN_Q_OVERFLOW) != 0) trackingLost_ = true;
      if ((event.mask & IN_OPEN) != 0) ++hostOpens_;
      if ((event.mask & IN_CLOSE) != 0 && hostOpens_ > 0 && --hostOpens_ == 0) closed = true;
      offset += static_cast<ssize_t>(sizeof event + event.len);
    }
  }
  return closed && !trackingLost_;
}

std::size_t PtyLine::discardUnread() {
  int pending = 0;
  if (::ioctl(slave_.get(), FIONREAD, &pending) != 0) pending = 0;
  ::tcflush(slave_.get(), TCIFLUSH);
  return static_cast<std::size_t>(pending);
}

void PtyLine::drop() {
  watch_.reset();
  master_.reset();
  slave_.reset();
}

}  // namespace quorvel::sim
