#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "app/cli/output_file.h"

namespace quorvel::cli {
namespace {

constexpr mode_t kOutputFileMode = 0644;

}  // namespace

bool OutputFile::create(const std::string& path, const std::string& what, std::string& error) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
             kOutputFileMode);
  if (fd < 0) {
    error = "cannot write " + what + " " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    // A regular file has no use for the flag, and a reader of it expects none.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  handle_ = fd;
  return true;
}

OutputFile OutputFile::takeStandardOutput() {
  OutputFile out;
  const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (fd < 0) return out;
  out.handle_ = fd;
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  return out;
}

OutputFile::Written OutputFile::writeSome(const char* data, std::size_t size) {
  Written result;
  for (;;) {
    const ssize_t written = ::write(static_cast<int>(handle_), data, size);
    if (written >= 0) {
      result.bytes = static_cast<std::size_t>(written);
      result.full = written == 0;
      return result;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      result.full = true;
    } else {
      result.failed = true;
    }
    return result;
  }
}

void OutputFile::waitForRoom(std::uint32_t ms) {
  pollfd fd{static_cast<int>(handle_), POLLOUT, 0};
  ::poll(&fd, 1, static_cast<int>(ms));
}

bool OutputFile::close() {
  if (handle_ == kClosed) return true;
  const int fd = static_cast<int>(std::exchange(handle_, kClosed));
  return ::close(fd) == 0;
}

}  // namespace quorvel::cli
