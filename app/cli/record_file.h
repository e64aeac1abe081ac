#pragma once

#include <cstdint>
#include <string>

// The service record's file and the machine's name that its lines carry; one back end per
// platform (record_file_posix.cpp, record_file_win32.cpp).
namespace quorvel::cli {

// This machine's name, or "unknown".
std::string hostName();

// The record file, opened once at the start of a run so that a record that cannot be
// written is reported before any instrument is touched. Lines are only ever appended, each
// in one write under an exclusive advisory lock, so that runs on one machine sharing the
// file never interleave inside a line. One back end per platform.
class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Opens `path` for appending, creating it when missing; false with `error` when it cannot
  // be written.
  bool open(const std::string& path, std::string& error);
  bool isOpen() const { return handle_ != kClosed; }
  // Appends `line` in one write under the lock; false with `error` when it did not go out
  // whole.
  bool append(const std::string& line, std::string& error);

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;  // file descriptor, or HANDLE on Windows
};

}  // namespace quorvel::cli
