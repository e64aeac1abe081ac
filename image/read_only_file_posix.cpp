#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "image/read_only_file.h"

namespace quorvel {

// O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer. The kind of file
// is then taken from the open descriptor itself, so nothing can be swapped in between.
bool ReadOnlyFile::open(const char* path) {
  close();
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

void ReadOnlyFile::close() {
  if (handle_ != kNone) ::close(static_cast<int>(std::exchange(handle_, kNone)));
}

std::size_t ReadOnlyFile::read(unsigned char* buffer, std::size_t count) {
  if (handle_ == kNone) return 0;
  for (;;) {
    const ssize_t got = ::read(static_cast<int>(handle_), buffer, count);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return 0;
  }
}

bool ReadOnlyFile::seek(std::uint64_t offset) {
  if (handle_ == kNone || offset > static_cast<std::uint64_t>(LLONG_MAX)) return false;
  return ::lseek(static_cast<int>(handle_), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

std::uint64_t ReadOnlyFile::size() const {
  struct stat info {};
  if (handle_ == kNone || ::fstat(static_cast<int>(handle_), &info) != 0) return 0;
  return info.st_size < 0 ? 0 : static_cast<std::uint64_t>(info.st_size);
}

}  // namespace quorvel
