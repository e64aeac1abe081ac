// Windows: the private directory is open to the user who runs the program and to nobody else,
// also inside a temporary folder that everybody may enter.
#include <windows.h>
// After windows.h.
#include <aclapi.h>
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

// The user the test runs as (the owner of a new directory may be a group, such as the
// administrators of an elevated program).
std::vector<BYTE> currentUser() {
  std::vector<BYTE> user(SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER));
  HANDLE token = nullptr;
  DWORD size = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  if (!GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size)) {
    user.clear();
  }
  CloseHandle(token);
  return user;
}

bool isSid(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return IsWellKnownSid(sid, type) != FALSE;
}

TEST(WorkspaceAccess, OnlyTheUserMayEnterThePrivateDirectoryInASharedFolder) {
  PSECURITY_DESCRIPTOR shared = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      kSharedFolderAccess, SDDL_REVISION_1, &shared, nullptr));
  SECURITY_ATTRIBUTES sharedAttributes{sizeof sharedAttributes, shared, FALSE};
  char temporary[MAX_PATH + 1] = {};
  GetTempPathA(sizeof temporary, temporary);
  const std::string root =
      temporary + ("quorvel-shared-" +
                   std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  ASSERT_TRUE(CreateDirectoryA(root.c_str(), &sharedAttributes));
  LocalFree(shared);
  {
    PrivateDirectory directory;
    std::string error;
    ASSERT_TRUE(directory.create(error, root)) << error;
    const std::vector<BYTE> user = currentUser();
    ASSERT_FALSE(user.empty());
    ACL* acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(
        GetNamedSecurityInfoA(directory.path().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &acl, nullptr, &descriptor),
        ERROR_SUCCESS);
    ASSERT_NE(acl, nullptr);
    bool userAllowed = false;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
      ACCESS_ALLOWED_ACE* entry = nullptr;
      if (!GetAce(acl, i, reinterpret_cast<void**>(&entry)) ||
          entry->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
        continue;
      }
      PSID sid = &entry->SidStart;
      userAllowed =
          userAllowed || EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
      EXPECT_FALSE(isSid(sid, WinWorldSid) || isSid(sid, WinBuiltinUsersSid) ||
                   isSid(sid, WinAuthenticatedUserSid));
    }
    EXPECT_TRUE(userAllowed);
    LocalFree(descriptor);
  }
  EXPECT_TRUE(RemoveDirectoryA(root.c_str()));
}

}  // namespace
}  // namespace quorvel::cli
