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
constexpr const char* kDirectoryPattern = "/quorvel-upgrade-XXXXXX";
constexpr const char* kOwnProgramLink = "/proc/self/exe";

}  // namespace

bool PrivateDirectory::create(std::string& error) {
  const char* root = std::getenv(kTemporaryRootVariable);
  if (root == nullptr || *root == '\0') root = kDefaultTemporaryRoot;
  std::string pattern = std::string(root) + kDirectoryPattern;
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) {  // mode 0700: ours alone
    error =
        "cannot create a private directory in " + std::string(root) + ": " + std::strerror(errno);
    return false;
  }
  path_ = name.data();
  return true;
}

std::string programDirectory() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink(kOwnProgramLink, error);
  return error ? std::string() : self.parent_path().string();
}

}  // namespace quorvel::cli
