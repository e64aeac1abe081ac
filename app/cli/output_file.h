#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "app/cli/named_file.h"

// Where the background writer writes: a file the user named, or the standard output that the
// JSON stream takes over (which may be a pipe that fills). One back end per platform
// (output_file_posix.cpp, output_file_win32.cpp).
namespace quorvel::cli {

class OutputFile {
 public:
  OutputFile() = default;
  // A file the user named, opened for writing.
  explicit OutputFile(NamedFile file) : file_(std::move(file)) {}
  // The standard output as it is now, for this object alone: whatever else writes to the
  // standard output from now on (a converter, a stray trace) reaches the standard error.
  static OutputFile takeStandardOutput();

  bool isOpen() const { return file_.isOpen(); }

  struct Written {
    std::size_t bytes = 0;
    bool full = false;    // nothing could be taken now: wait for room
    bool failed = false;  // the destination is gone or broken
  };
  // Writes what it can of `data` at once.
  Written writeSome(const char* data, std::size_t size);
  // Waits at most `ms` for room after a write found the destination full.
  void waitForRoom(std::uint32_t ms);
  // False when closing reported an error.
  bool close() { return file_.close(); }

 private:
  NamedFile file_;  // closes itself
};

}  // namespace quorvel::cli
