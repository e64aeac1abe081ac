#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "app/cli/record_file.h"
#include "app/cli/record_file_platform.h"

namespace quorvel::cli {

std::string hostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "unknown";
  return name;
}

namespace detail {

RecordLock tryLockRecord(NamedFile& file, std::string& error) {
  for (;;) {
    if (::flock(static_cast<int>(file.handle()), LOCK_EX | LOCK_NB) == 0) return RecordLock::Taken;
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return RecordLock::Busy;
    error = std::strerror(errno);
    return RecordLock::Failed;
  }
}

void unlockRecord(NamedFile& file) {
  ::flock(static_cast<int>(file.handle()), LOCK_UN);
}

int recordByteAt(NamedFile& file, std::uint64_t offset) {
  unsigned char byte = 0;
  const ssize_t got =
      ::pread(static_cast<int>(file.handle()), &byte, 1, static_cast<off_t>(offset));
  return got == 1 ? byte : -1;
}

// The descriptor appends: every write lands at the end, wherever another writer left it.
bool writeAtRecordEnd(NamedFile& file, const std::string& text, std::string& error) {
  return file.write(text.data(), text.size(), error);
}

}  // namespace detail
}  // namespace quorvel::cli
