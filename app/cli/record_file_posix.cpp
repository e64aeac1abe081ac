#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "app/cli/record_file.h"

namespace quorvel::cli {
namespace {

constexpr mode_t kRecordFileMode = 0644;

// Holds the exclusive lock for one append; the lock goes with the scope.
class AppendLock {
 public:
  explicit AppendLock(int fd) : fd_(fd) {
    int rc = 0;
    do {
      rc = ::flock(fd_, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    locked_ = rc == 0;
  }
  ~AppendLock() {
    if (locked_) ::flock(fd_, LOCK_UN);
  }
  AppendLock(const AppendLock&) = delete;
  AppendLock& operator=(const AppendLock&) = delete;
  bool locked() const { return locked_; }

 private:
  int fd_;
  bool locked_ = false;
};

std::string systemError(const std::string& path, int error) {
  return "cannot write the record " + path + ": " + std::strerror(error);
}

}  // namespace

std::string hostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "unknown";
  return name;
}

RecordFile::~RecordFile() {
  if (isOpen()) ::close(static_cast<int>(handle_));
}

bool RecordFile::open(const std::string& path, std::string& error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kRecordFileMode);
  if (fd < 0) {
    error = systemError(path, errno);
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    error = "cannot write the record " + path + ": not a regular file";
    return false;
  }
  AppendLock probe(fd);  // a file that cannot be locked would fail every append later
  if (!probe.locked()) {
    error = systemError(path, errno);
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

bool RecordFile::append(const std::string& line, std::string& error) {
  const int fd = static_cast<int>(handle_);
  AppendLock lock(fd);
  if (!lock.locked()) {
    error = std::string("cannot lock the record: ") + std::strerror(errno);
    return false;
  }
  ssize_t written = 0;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written == static_cast<ssize_t>(line.size())) return true;
  error = written < 0 ? std::string("cannot write the record: ") + std::strerror(errno)
                      : std::string("the record line was cut short (disk full?)");
  return false;
}

}  // namespace quorvel::cli
