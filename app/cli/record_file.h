#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "app/cli/named_file.h"

// The service record's file and the machine's name that its lines carry; one back end per
// platform (record_file_posix.cpp, record_file_win32.cpp) under the common part.
namespace quorvel::cli {

// This machine's name, or "unknown".
std::string hostName();

// Once an interrupt has come, how much longer the record's lock is waited for: enough for
// another run's line, not for a program that keeps the lock.
inline constexpr std::chrono::milliseconds kRecordLockGraceAfterInterrupt{100};

// The record file, opened once at the start of a run so that a record that cannot be
// written is reported before any instrument is touched. Lines are only ever appended, each
// in one write under an exclusive advisory lock, so that runs on one machine sharing the
// file never interleave inside a line.
class RecordFile {
 public:
  // Opens `path` for appending, a regular file made when missing; false with `error` when it
  // cannot be written.
  bool open(const std::string& path, std::string& error);
  bool isOpen() const { return file_.isOpen(); }
  FileIdentity identity() const { return file_.identity(); }

  // Appends `line` under the lock, after a line end when the file does not end with one
  // (another program's last line cut short), so that no two lines are ever glued. The lock
  // is waited for at most the timing table's recordLockWaitMs, and no longer than
  // kRecordLockGraceAfterInterrupt once `interrupted` (if given) returns true. A line that
  // does not go out whole (disk full, a file size limit) is taken back: the file ends where
  // it ended before. False with `error` when the line is not in the file.
  bool append(const std::string& line, std::string& error, bool (*interrupted)() = nullptr);

 private:
  bool lock(std::string& error, bool (*interrupted)());

  NamedFile file_;
  std::string path_;
};

}  // namespace quorvel::cli
