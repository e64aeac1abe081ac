#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "app/cli/workspace.h"

namespace quorvel::cli {
namespace {

constexpr const char* kTemporaryRootVariable = "TMPDIR";
constexpr const char* kDefaultTemporaryRoot = "/tmp";
constexpr const char* kOwnProgramLink = "/proc/self/exe";

bool processGone(long pid) {
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// The private directories in `root` that runs of this user left when they were killed: real
// directories (no links), of this user, named after a process that is gone.
void removeAbandonedDirectories(const std::string& root) {
  DIR* dir = ::opendir(root.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> abandoned;
  while (const dirent* entry = ::readdir(dir)) {
    const long pid = detail::privateDirectoryOwner(entry->d_name);
    if (pid <= 0) continue;
    const std::string path = root + "/" + entry->d_name;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
      continue;
    }
    if (processGone(pid)) abandoned.push_back(path);
  }
  ::closedir(dir);
  for (const std::string& path : abandoned) removeRunDirectory(path);
}

}  // namespace

bool PrivateDirectory::create(std::string& error, const std::string& root) {
  std::string where = root;
  if (where.empty()) {
    const char* variable = std::getenv(kTemporaryRootVariable);
    where = variable != nullptr && *variable != '\0' ? variable : kDefaultTemporaryRoot;
  }
  removeAbandonedDirectories(where);
  const std::string pattern =
      where + "/" + detail::kPrivateDirectoryPrefix + std::to_string(::getpid()) + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) {  // mode 0700: ours alone
    error = "cannot create a private directory in " + where + ": " + std::strerror(errno);
    return false;
  }
  path_ = name.data();
  return true;
}

// Through a descriptor of the directory itself, so that each name is looked up in it and no
// other place, even if the path were changed meanwhile; a link is deleted, not followed.
void removeRunDirectory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  for (const std::string& name : runFileNames()) ::unlinkat(fd, name.c_str(), 0);
  ::close(fd);
  ::rmdir(directory.c_str());  // fails, and leaves it, when anything else is in it
}

std::string programDirectory() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink(kOwnProgramLink, error);
  return error ? std::string() : self.parent_path().string();
}

}  // namespace quorvel::cli
