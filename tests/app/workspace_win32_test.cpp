// Windows: the private directory is open to the user who runs the program and to nobody else,
// also inside a temporary folder that everybody may enter.
#include <windows.h>
// After windows.h.
#include <sddl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/cli/workspace.h"

namespace quorvel::cli {
namespace {

// What the folder grants: full access to everyone, inherited by what is created inside.
constexpr const char* kSharedFolderAccess = "D:(A;OICI;GA;;;WD)";

std::vector<BYTE> currentUser() {
  std::vector<BYTE> user;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return user;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  user.resize(size);
  if (!GetTokenInformation(token, TokenUser, user.data(), size, &size)) user.clear();
  CloseHandle(token);
  return user;
}

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return IsWellKnownSid(sid, type) != FALSE;
}

// The SIDs the access list of `path` allows anything to.
std::vector<PSID> allowedSids(const std::string& path, std::vector<BYTE>& descriptor) {
  DWORD size = 0;
  GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  descriptor.resize(size);
  std::vector<PSID> sids;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  ACL* acl = nullptr;
  if (!GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), size, &size) ||
      !GetSecurityDescriptorDacl(descriptor.data(), &present, &acl, &defaulted) || !present ||
      acl == nullptr) {
    return sids;
  }
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* entry = nullptr;
    if (GetAce(acl, i, &entry) &&
        static_cast<ACE_HEADER*>(entry)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      sids.push_back(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart);
    }
  }
  return sids;
}

TEST(WorkspaceAccess, OnlyTheUserMayEnterThePrivateDirectoryInASharedFolder) {
  PSECURITY_DESCRIPTOR shared = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      kSharedFolderAccess, SDDL_REVISION_1, &shared, nullptr));
  SECURITY_ATTRIBUTES sharedAttributes{sizeof sharedAttributes, shared, FALSE};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  char temporary[MAX_PATH + 1] = {};
  GetTempPathA(sizeof temporary, temporary);
  const std::string root = temporary + ("quorvel-shared-" + std::to_string(stamp));
  ASSERT_TRUE(CreateDirectoryA(root.c_str(), &sharedAttributes));
  LocalFree(shared);
  {
    PrivateDirectory directory;
    std::string error;
    ASSERT_TRUE(directory.create(error, root)) << error;
    std::vector<BYTE> descriptor;
    const std::vector<PSID> sids = allowedSids(directory.path(), descriptor);
    const std::vector<BYTE> user = currentUser();
    ASSERT_FALSE(user.empty());
    bool userAllowed = false;
    for (PSID sid : sids) {
      userAllowed =
          userAllowed || EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
      EXPECT_FALSE(isWellKnown(sid, WinWorldSid) || isWellKnown(sid, WinBuiltinUsersSid) ||
                   isWellKnown(sid, WinAuthenticatedUserSid));
    }
    EXPECT_TRUE(userAllowed);
  }
  EXPECT_TRUE(RemoveDirectoryA(root.c_str()));
}

}  // namespace
}  // namespace quorvel::cli
