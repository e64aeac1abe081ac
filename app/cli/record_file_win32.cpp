#include <windows.h>

#include "app/cli/record_file.h"
#include "app/cli/record_file_platform.h"
#include "platform/utf16.h"

namespace quorvel::cli {
namespace {

// The whole file's range: appends lock it all, so that two writers take turns.
constexpr DWORD kWholeFileLow = MAXDWORD;
constexpr DWORD kWholeFileHigh = MAXDWORD;

HANDLE handleOf(const NamedFile& file) {
  return reinterpret_cast<HANDLE>(file.handle());
}

}  // namespace

std::string hostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size) || size == 0) return "unknown";
  return narrowed(std::wstring_view(name, size));
}

namespace detail {

RecordLock tryLockRecord(NamedFile& file, std::string& error) {
  OVERLAPPED from{};
  if (LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                 kWholeFileLow, kWholeFileHigh, &from)) {
    return RecordLock::Taken;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return RecordLock::Busy;
  error = systemErrorText(code);
  return RecordLock::Failed;
}

void unlockRecord(NamedFile& file) {
  OVERLAPPED from{};
  UnlockFileEx(handleOf(file), 0, kWholeFileLow, kWholeFileHigh, &from);
}

int recordByteAt(NamedFile& file, std::uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  unsigned char byte = 0;
  DWORD got = 0;
  return ReadFile(handleOf(file), &byte, 1, &got, &at) && got == 1 ? byte : -1;
}

// Under the lock the end stays where it is until this write.
bool writeAtRecordEnd(NamedFile& file, const std::string& text, std::string& error) {
  LARGE_INTEGER none{};
  if (!SetFilePointerEx(handleOf(file), none, nullptr, FILE_END)) {
    error = systemErrorText(GetLastError());
    return false;
  }
  return file.write(text.data(), text.size(), error);
}

}  // namespace detail
}  // namespace quorvel::cli
