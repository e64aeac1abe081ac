#include <windows.h>

#include <atomic>
#include <string>

#include "app/cli/workspace.h"

namespace quorvel::cli {
namespace {

constexpr const char* kDirectoryPrefix = "quorvel-upgrade-";
// A name taken by another run is passed over; this many tries before giving up.
constexpr int kNameTries = 100;

std::atomic<unsigned> gDirectoryCounter{0};

std::string uniqueName() {
  return kDirectoryPrefix + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetTickCount64()) + "-" + std::to_string(gDirectoryCounter++);
}

}  // namespace

bool PrivateDirectory::create(std::string& error) {
  char root[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathA(sizeof root, root);
  if (length == 0 || length > MAX_PATH) {
    error =
        "cannot find the folder for temporary files (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  for (int i = 0; i < kNameTries; ++i) {
    std::string candidate = std::string(root) + uniqueName();
    if (CreateDirectoryA(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  error = "cannot create a private directory in " + std::string(root) + " (error " +
          std::to_string(GetLastError()) + ")";
  return false;
}

std::string programDirectory() {
  char path[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return {};
  std::string text(path, length);
  const std::size_t slash = text.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

}  // namespace quorvel::cli
