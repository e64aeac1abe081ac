#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace quorvel {

// A file opened for reading at byte offsets, on the platform's own handle (one back end per
// platform). Only a regular file opens: a directory, a FIFO or a device is refused at once,
// and opening never waits for a writer. Move-only; the destructor closes the file.
class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  ~ReadOnlyFile() { close(); }
  ReadOnlyFile(ReadOnlyFile&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}
  ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, kNone);
    }
    return *this;
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  // Closes any file already open first. False when `path` is not a regular file we may read.
  bool open(const char* path);
  void close();
  bool isOpen() const { return handle_ != kNone; }

  // Up to `count` bytes from the current offset; 0 at the end of the file or on an error.
  std::size_t read(unsigned char* buffer, std::size_t count);
  // Moves to an absolute offset (past the end, reads give 0). False when it failed.
  bool seek(std::uint64_t offset);
  // Length in bytes; 0 when not open.
  std::uint64_t size() const;

 private:
  static constexpr std::intptr_t kNone = -1;  // also INVALID_HANDLE_VALUE
  std::intptr_t handle_ = kNone;              // file descriptor on POSIX, HANDLE on Windows
};

}  // namespace quorvel
