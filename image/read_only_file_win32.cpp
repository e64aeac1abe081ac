#include <windows.h>

#include <algorithm>

#include "image/read_only_file.h"
#include "platform/utf16.h"

namespace quorvel {
namespace {

HANDLE asHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

// `path` is UTF-8. A directory does not open without FILE_FLAG_BACKUP_SEMANTICS; the type check
// refuses pipes and devices. Others may go on reading, writing or deleting the file meanwhile.
bool ReadOnlyFile::open(const char* path) {
  close();
  HANDLE file = CreateFileW(widened(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

void ReadOnlyFile::close() {
  if (handle_ != kNone) CloseHandle(asHandle(std::exchange(handle_, kNone)));
}

std::size_t ReadOnlyFile::read(unsigned char* buffer, std::size_t count) {
  if (handle_ == kNone) return 0;
  const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(count, MAXDWORD));
  DWORD got = 0;
  if (!ReadFile(asHandle(handle_), buffer, wanted, &got, nullptr)) return 0;
  return got;
}

bool ReadOnlyFile::seek(std::uint64_t offset) {
  if (handle_ == kNone || offset > static_cast<std::uint64_t>(MAXLONGLONG)) return false;
  LARGE_INTEGER target{};
  target.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(asHandle(handle_), target, nullptr, FILE_BEGIN) != FALSE;
}

std::uint64_t ReadOnlyFile::size() const {
  LARGE_INTEGER length{};
  if (handle_ == kNone || !GetFileSizeEx(asHandle(handle_), &length)) return 0;
  return length.QuadPart < 0 ? 0 : static_cast<std::uint64_t>(length.QuadPart);
}

}  // namespace quorvel
