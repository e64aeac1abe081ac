#include <windows.h>

#include <string>

#include "app/cli/named_file.h"
#include "platform/utf16.h"

namespace quorvel::cli {
namespace {

// The device namespace, where a name such as "NUL", "CON" or "COM1" leads.
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";

HANDLE handleOf(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

struct Access {
  DWORD rights;
  DWORD share;
  DWORD disposition;
};

Access accessFor(FileUse use) {
  switch (use) {
    case FileUse::Read:
      return {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING};
    case FileUse::Append:  // other runs append to the same record
      return {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS};
    case FileUse::Write:
      return {GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS};
    case FileUse::Create:
      break;
  }
  return {GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW};
}

// A name that the system takes for a device rather than a file ("NUL", "COM1", a pipe).
bool namesDevice(const std::wstring& path) {
  const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return false;
  std::wstring full(length, L'\0');
  full.resize(GetFullPathNameW(path.c_str(), length, full.data(), nullptr));
  return full.starts_with(kDevicePrefix);
}

}  // namespace

NamedFile::Outcome NamedFile::open(const std::string& path, FileUse use, const std::string& what,
                                   std::string& error) {
  close();
  const std::string prefix = failurePrefix(path, use, what);
  const std::wstring name = widened(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  const bool directory =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (directory || namesDevice(name)) {
    error = prefix + notRegular(directory ? "a directory" : "a device");
    return Outcome::NotRegular;
  }
  const Access access = accessFor(use);
  HANDLE file = CreateFileW(name.c_str(), access.rights, access.share, nullptr, access.disposition,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    error = prefix + systemErrorText(code);
    const bool missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    return missing && use == FileUse::Read ? Outcome::Missing : Outcome::Unavailable;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {  // a pipe or a device after all
    CloseHandle(file);
    error = prefix + notRegular("a device or a pipe");
    return Outcome::NotRegular;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return Outcome::Opened;
}

bool NamedFile::close() {
  if (handle_ == kClosed) return true;
  return CloseHandle(handleOf(std::exchange(handle_, kClosed))) != FALSE;
}

FileIdentity NamedFile::identity() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handleOf(handle_), &info)) return {};
  return {info.dwVolumeSerialNumber,
          (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

std::uint64_t NamedFile::size() const {
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(handleOf(handle_), &length) || length.QuadPart < 0) return 0;
  return static_cast<std::uint64_t>(length.QuadPart);
}

bool NamedFile::truncate(std::uint64_t length) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(length);
  return SetFilePointerEx(handleOf(handle_), at, nullptr, FILE_BEGIN) &&
         SetEndOfFile(handleOf(handle_));
}

long long NamedFile::read(void* buffer, std::size_t size, std::string& error) {
  const DWORD wanted = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
  DWORD got = 0;
  if (!ReadFile(handleOf(handle_), buffer, wanted, &got, nullptr)) {
    error = systemErrorText(GetLastError());
    return -1;
  }
  return got;
}

bool NamedFile::write(const void* data, std::size_t size, std::string& error) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handleOf(handle_), bytes, chunk, &written, nullptr)) {
      error = systemErrorText(GetLastError());
      return false;
    }
    if (written == 0) {
      error = "nothing could be written";
      return false;
    }
    bytes += written;
    size -= written;
  }
  return true;
}

}  // namespace quorvel::cli
