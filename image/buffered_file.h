#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "image/read_only_file.h"

namespace quorvel {

// A read-only file with a buffer of its own, read one character at a time. Read as raw bytes
// on every platform, so positions and seeks are exact byte offsets and no byte value ends
// the file early. Only a regular file opens (see ReadOnlyFile). Move-only; the file is
// closed by the destructor.
class BufferedFile {
 public:
  static constexpr int kEof = -1;
  static constexpr std::size_t kBufferBytes = 64 * 1024;

  BufferedFile() = default;
  BufferedFile(BufferedFile&&) = default;
  BufferedFile& operator=(BufferedFile&&) = default;
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;
  ~BufferedFile() = default;

  // Closes any file already open first. False when the file cannot be opened or is not a
  // regular file.
  bool open(const char* path);
  void close();
  bool isOpen() const { return file_.isOpen(); }

  // The next character (0 to 255), or kEof at the end of the file, on a read error or when
  // the file is not open. Reading kEof does not move the position.
  int get() {
    if (cursor_ < filled_) return buffer_[cursor_++];
    return refillAndGet();
  }

  // The characters already buffered and not yet read, for loops that scan in bulk; skip(n)
  // passes over n of them (n <= buffered()). get() refills the buffer when it is empty.
  const unsigned char* peek() const { return buffer_.get() + cursor_; }
  std::size_t buffered() const { return filled_ - cursor_; }
  void skip(std::size_t n) { cursor_ += n; }

  // Byte offset of the next character to be read.
  std::uint64_t position() const { return bufferStart_ + cursor_; }
  // Moves to an absolute offset; an offset past the end reads kEof. False when not open.
  bool seek(std::uint64_t offset);
  // Moves one character back; nothing happens at offset 0.
  void stepBack();
  // Length of the file in bytes (0 when not open); the read position is kept.
  std::uint64_t size();

 private:
  int refillAndGet();

  ReadOnlyFile file_;
  std::unique_ptr<unsigned char[]> buffer_;
  std::uint64_t bufferStart_ = 0;  // file offset of buffer_[0]
  std::size_t filled_ = 0;         // valid bytes in buffer_
  std::size_t cursor_ = 0;         // next byte of buffer_ to hand out
};

}  // namespace quorvel
