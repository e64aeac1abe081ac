#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "serial/uucp_lock.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLockPrefix = "LCK..";
// A lock file holds a few bytes; what lies beyond is not looked at.
constexpr std::size_t kMaxLockBytes = 64;
constexpr std::size_t kBinaryPidBytes = 4;

// The first bytes of a regular file, read without ever blocking on something else (a FIFO).
std::string lockContent(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string content(kMaxLockBytes, '\0');
  struct stat info {};
  ssize_t got = -1;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
    got = ::read(fd, content.data(), kMaxLockBytes);
  ::close(fd);
  content.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return content;
}

bool isNumberText(const std::string& content) {
  return std::all_of(content.begin(), content.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0 ||
           std::isspace(static_cast<unsigned char>(c)) != 0;
  });
}

// The process id a lock file names; 0 when it names none.
long lockOwner(const std::string& content) {
  if (content.size() == kBinaryPidBytes && !isNumberText(content)) {
    std::int32_t pid = 0;
    std::memcpy(&pid, content.data(), sizeof pid);
    return pid;
  }
  long pid = 0;
  std::size_t at = content.find_first_not_of(" \t\n");
  for (; at < content.size() && std::isdigit(static_cast<unsigned char>(content[at])) != 0; ++at) {
    pid = pid * 10 + (content[at] - '0');
    if (pid > INT32_MAX) return 0;
  }
  return pid;
}

bool processRunning(long pid) {
  if (pid <= 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

bool uucpLockHeld(std::string_view devicePath, const std::vector<std::string>& directories) {
  std::error_code error;
  fs::path device = fs::canonical(fs::path(devicePath), error);
  if (error) device = fs::path(devicePath);
  const std::string lockName = kLockPrefix + device.filename().string();
  return std::any_of(directories.begin(), directories.end(), [&](const std::string& directory) {
    return processRunning(lockOwner(lockContent(fs::path(directory) / lockName)));
  });
}

}  // namespace quorvel
