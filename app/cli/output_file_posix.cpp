#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "app/cli/output_file.h"

namespace quorvel::cli {

OutputFile OutputFile::takeStandardOutput() {
  OutputFile out;
  const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (fd < 0) return out;
  out.file_ = NamedFile(fd);
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  return out;
}

OutputFile::Written OutputFile::writeSome(const char* data, std::size_t size) {
  Written result;
  for (;;) {
    const ssize_t written = ::write(static_cast<int>(file_.handle()), data, size);
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
  pollfd fd{static_cast<int>(file_.handle()), POLLOUT, 0};
  ::poll(&fd, 1, static_cast<int>(ms));
}

}  // namespace quorvel::cli
