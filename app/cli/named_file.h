#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

// The files a user names on the command line (the image, the record, the transcript), and the
// copy of the image in the private directory, opened the careful way: only regular files,
// never a wait on the way in, never inherited by the converter. One back end per platform
// (named_file_posix.cpp, named_file_win32.cpp).
namespace quorvel::cli {

// Which file an open handle is, whatever name led to it: device and inode on POSIX, volume
// serial number and file index on Windows.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  bool operator==(const FileIdentity&) const = default;
};

enum class FileUse {
  Read,    // an input, which must be there
  Append,  // read and append; made when missing
  Write,   // write from the start; made when missing, but not truncated by the open
  Create,  // a new file that must not exist yet (the run's own, in its private directory)
};

class NamedFile {
 public:
  static constexpr std::intptr_t kClosed = -1;  // also INVALID_HANDLE_VALUE

  NamedFile() = default;
  // Takes over a handle opened otherwise (the standard output).
  explicit NamedFile(std::intptr_t handle) : handle_(handle) {}
  ~NamedFile() { close(); }
  NamedFile(NamedFile&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}
  NamedFile& operator=(NamedFile&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, kClosed);
    }
    return *this;
  }
  NamedFile(const NamedFile&) = delete;
  NamedFile& operator=(const NamedFile&) = delete;

  enum class Outcome {
    Opened,
    Missing,      // no such file (Read only)
    NotRegular,   // a FIFO, a device or terminal, a directory, a socket: never opened
    Unavailable,  // anything else the system refused (permission, no space...)
  };
  // Opens `path` for `use`. Something that is not a regular file is refused without being
  // opened, so that neither a FIFO without a peer nor a device can hold the program up or be
  // touched; what opens is checked again on its handle. Symbolic links to regular files
  // are followed. On failure `error` holds one line for the user: "cannot <verb> <what>
  // <path>: <reason>".
  Outcome open(const std::string& path, FileUse use, const std::string& what, std::string& error);
  bool isOpen() const { return handle_ != kClosed; }
  std::intptr_t handle() const { return handle_; }
  // Gives the handle away: the caller closes it.
  std::intptr_t release() { return std::exchange(handle_, kClosed); }
  // False when closing reported an error (the last bytes of a write may fail only there).
  bool close();

  FileIdentity identity() const;
  std::uint64_t size() const;
  // Cuts the file to `length` bytes.
  bool truncate(std::uint64_t length);
  // Up to `size` bytes from the current position: the count read, 0 at the end, -1 with
  // `error` on a failure.
  long long read(void* buffer, std::size_t size, std::string& error);
  // All of `size` bytes, or false with `error`.
  bool write(const void* data, std::size_t size, std::string& error);

 private:
  // The start of every message of open(): "cannot read the image fw.out: ".
  static std::string failurePrefix(const std::string& path, FileUse use, const std::string& what) {
    return std::string("cannot ") + (use == FileUse::Read ? "read " : "write ") + what + " " +
           path + ": ";
  }
  // What follows it for a file that is refused: "it is a FIFO, not a regular file".
  static std::string notRegular(const char* kind) {
    return std::string("it is ") + kind + ", not a regular file";
  }

  std::intptr_t handle_ = kClosed;  // file descriptor, or HANDLE on Windows
};

}  // namespace quorvel::cli
