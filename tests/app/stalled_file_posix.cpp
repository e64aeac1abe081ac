// Linked into quorvel-upgrade-fast only, with -Wl,--wrap=write: every write() of the program
// comes through here, and one to the file that QUORVEL_TEST_STALLED_FILE names (made before
// the program starts) never returns, as a write to a network share whose server has gone.
// The shipped program has none of this.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

extern "C" ssize_t __real_write(int fd, const void* data, size_t size);

namespace {

constexpr const char* kStalledFileVariable = "QUORVEL_TEST_STALLED_FILE";

struct StalledFile {
  StalledFile() {
    const char* path = std::getenv(kStalledFileVariable);
    struct stat info {};
    if (path == nullptr || ::stat(path, &info) != 0) return;
    device = info.st_dev;
    inode = info.st_ino;
    set = true;
  }
  bool set = false;
  dev_t device = 0;
  ino_t inode = 0;
};

const StalledFile gStalled;

bool isStalled(int fd) {
  struct stat info {};
  return gStalled.set && ::fstat(fd, &info) == 0 && info.st_dev == gStalled.device &&
         info.st_ino == gStalled.inode;
}

}  // namespace

extern "C" ssize_t __wrap_write(int fd, const void* data, size_t size) {
  if (isStalled(fd)) {
    for (;;) ::pause();
  }
  return __real_write(fd, data, size);
}
