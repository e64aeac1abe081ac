#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "app/cli/workspace.h"
#include "platform/utf16.h"

namespace quorvel::cli {
namespace {

// A name taken by another run is passed over; this many tries before giving up.
constexpr int kNameTries = 100;

std::atomic<unsigned> gDirectoryCounter{0};

std::string uniqueName() {
  return detail::kPrivateDirectoryPrefix + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetTickCount64()) + "-" + std::to_string(gDirectoryCounter++);
}

std::string withErrorCode(const std::string& text) {
  return text + ": " + systemErrorText(GetLastError());
}

// A security descriptor whose access list grants the user who runs the program, and nobody
// else, full access, inherited by what is created inside; protected, so that nothing of the
// folder it lies in (a TEMP shared with others) is inherited.
class OwnerOnlyAccess {
 public:
  bool build() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    const bool known = size > 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    CloseHandle(token);
    if (!known) return false;
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    auto* acl = reinterpret_cast<ACL*>(acl_.data());
    return InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) &&
           AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                 FILE_ALL_ACCESS, sid) &&
           InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
           SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  }

  SECURITY_ATTRIBUTES* attributes() {
    attributes_ = {sizeof attributes_, &descriptor_, FALSE};
    return &attributes_;
  }

 private:
  std::vector<BYTE> user_;
  std::vector<BYTE> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// True only for a process known to have ended: one that cannot be opened for lack of rights
// still runs.
bool processGone(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

bool isPlainDirectory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// The private directories in `root` that runs left when they were killed: real directories
// (no junctions or links), named after a process that is gone. Those of other users are
// closed to us by their access lists.
void removeAbandonedDirectories(const std::string& root) {
  WIN32_FIND_DATAW found{};
  HANDLE search =
      FindFirstFileW(widened(root + detail::kPrivateDirectoryPrefix + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::string> abandoned;
  do {
    const std::string name = narrowed(found.cFileName);
    const long pid = detail::privateDirectoryOwner(name);
    if (pid > 0 && isPlainDirectory(found.dwFileAttributes) &&
        processGone(static_cast<DWORD>(pid))) {
      abandoned.push_back(root + name);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  for (const std::string& path : abandoned) removeRunDirectory(path);
}

}  // namespace

bool PrivateDirectory::create(std::string& error, const std::string& root) {
  std::string where = root;
  if (where.empty()) {
    wchar_t temporary[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
    if (length == 0 || length > MAX_PATH) {
      error = withErrorCode("cannot find the folder for temporary files");
      return false;
    }
    where = narrowed(std::wstring_view(temporary, length));
  }
  if (where.back() != '\\' && where.back() != '/') where += '\\';
  removeAbandonedDirectories(where);
  OwnerOnlyAccess access;
  if (!access.build()) {
    error = withErrorCode("cannot restrict a private directory to this user in " + where);
    return false;
  }
  for (int i = 0; i < kNameTries; ++i) {
    std::string candidate = where + uniqueName();
    if (CreateDirectoryW(widened(candidate).c_str(), access.attributes())) {
      path_ = candidate;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  error = withErrorCode("cannot create a private directory in " + where);
  return false;
}

// A directory that has become a junction or a link is not entered; a link among the files
// is deleted itself, never what it leads to.
void removeRunDirectory(const std::string& directory) {
  if (!isPlainDirectory(GetFileAttributesW(widened(directory).c_str()))) return;
  for (const std::string& name : runFileNames()) {
    DeleteFileW(widened(directory + "\\" + name).c_str());
  }
  RemoveDirectoryW(widened(directory).c_str());  // fails, and leaves it, when anything is left
}

std::string programDirectory() {
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) return {};
  const std::string text = narrowed(std::wstring_view(path, length));
  const std::size_t slash = text.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

}  // namespace quorvel::cli
