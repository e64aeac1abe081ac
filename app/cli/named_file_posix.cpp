#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/cli/named_file.h"

namespace quorvel::cli {
namespace {

constexpr mode_t kNewFileMode = 0644;

int flagsFor(FileUse use) {
  // Never blocking on the way in; the flag goes again once the file is known to be regular.
  const int always = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  switch (use) {
    case FileUse::Read:
      return always | O_RDONLY;
    case FileUse::Append:
      return always | O_RDWR | O_APPEND | O_CREAT;
    case FileUse::Write:
      return always | O_WRONLY | O_CREAT;
    case FileUse::Create:
      break;
  }
  return always | O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
}

const char* kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a terminal or other device";
  if (S_ISBLK(mode)) return "a block device";
  return "something else";
}

int fdOf(std::intptr_t handle) {
  return static_cast<int>(handle);
}

}  // namespace

NamedFile::Outcome NamedFile::open(const std::string& path, FileUse use, const std::string& what,
                                   std::string& error) {
  close();
  const std::string prefix = failurePrefix(path, use, what);
  const auto refuse = [&](mode_t mode) {
    error = prefix + notRegular(kindOf(mode));
    return Outcome::NotRegular;
  };
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return refuse(info.st_mode);
  const int fd = ::open(path.c_str(), flagsFor(use), kNewFileMode);
  if (fd < 0) {
    const int code = errno;
    // Made meanwhile: a FIFO without a reader says "No such device or address".
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return refuse(info.st_mode);
    error = prefix + std::strerror(code);
    return code == ENOENT && use == FileUse::Read ? Outcome::Missing : Outcome::Unavailable;
  }
  const bool known = ::fstat(fd, &info) == 0;
  if (!known || !S_ISREG(info.st_mode)) {
    const int code = errno;
    ::close(fd);
    if (known) return refuse(info.st_mode);
    error = prefix + std::strerror(code);
    return Outcome::Unavailable;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  handle_ = fd;
  return Outcome::Opened;
}

bool NamedFile::close() {
  if (handle_ == kClosed) return true;
  return ::close(fdOf(std::exchange(handle_, kClosed))) == 0;
}

FileIdentity NamedFile::identity() const {
  struct stat info {};
  if (::fstat(fdOf(handle_), &info) != 0) return {};
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

std::uint64_t NamedFile::size() const {
  struct stat info {};
  if (::fstat(fdOf(handle_), &info) != 0 || info.st_size < 0) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

bool NamedFile::truncate(std::uint64_t length) {
  int rc = 0;
  do {
    rc = ::ftruncate(fdOf(handle_), static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

long long NamedFile::read(void* buffer, std::size_t size, std::string& error) {
  for (;;) {
    const ssize_t got = ::read(fdOf(handle_), buffer, size);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    error = std::strerror(errno);
    return -1;
  }
}

bool NamedFile::write(const void* data, std::size_t size, std::string& error) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fdOf(handle_), bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = written < 0 ? std::strerror(errno) : "nothing could be written";
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace quorvel::cli
