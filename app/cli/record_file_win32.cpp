#include <windows.h>

#include "app/cli/record_file.h"

namespace quorvel::cli {
namespace {

// The whole file's range: appends lock it all, so that two writers take turns.
constexpr DWORD kWholeFileLow = MAXDWORD;
constexpr DWORD kWholeFileHigh = MAXDWORD;

HANDLE fileHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

std::string systemError(const std::string& what) {
  return what + " (error " + std::to_string(GetLastError()) + ")";
}

bool lockWholeFile(HANDLE file) {
  OVERLAPPED from{};
  return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, kWholeFileLow, kWholeFileHigh, &from) != 0;
}

void unlockWholeFile(HANDLE file) {
  OVERLAPPED from{};
  UnlockFileEx(file, 0, kWholeFileLow, kWholeFileHigh, &from);
}

}  // namespace

std::string hostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size) || size == 0) return "unknown";
  return std::string(name, size);
}

RecordFile::~RecordFile() {
  if (isOpen()) CloseHandle(fileHandle(handle_));
}

bool RecordFile::open(const std::string& path, std::string& error) {
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = systemError("cannot write the record " + path);
    return false;
  }
  if (GetFileType(file) != FILE_TYPE_DISK || !lockWholeFile(file)) {
    error = systemError("cannot write the record " + path);
    CloseHandle(file);
    return false;
  }
  unlockWholeFile(file);
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool RecordFile::append(const std::string& line, std::string& error) {
  HANDLE file = fileHandle(handle_);
  if (!lockWholeFile(file)) {
    error = systemError("cannot lock the record");
    return false;
  }
  DWORD written = 0;
  BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  unlockWholeFile(file);
  if (ok && written == line.size()) return true;
  error = ok ? std::string("the record line was cut short (disk full?)")
             : systemError("cannot write the record");
  return false;
}

}  // namespace quorvel::cli
