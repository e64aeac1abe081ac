#include "image/buffered_file.h"

namespace quorvel {

bool BufferedFile::open(const char* path) {
  close();
  if (!file_.open(path)) return false;
  // Not cleared: only the bytes a read has filled are ever handed out.
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<unsigned char[]>(kBufferBytes);
  return true;
}

void BufferedFile::close() {
  file_.close();
  bufferStart_ = 0;
  filled_ = 0;
  cursor_ = 0;
}

// Invariant: the underlying file stands at bufferStart_ + filled_.
int BufferedFile::refillAndGet() {
  if (!file_.isOpen()) return kEof;
  bufferStart_ += filled_;
  cursor_ = 0;
  filled_ = 0;
  const std::size_t got = file_.read(buffer_.get(), kBufferBytes);
  if (got == 0) return kEof;
  filled_ = got;
  return buffer_[cursor_++];
}

bool BufferedFile::seek(std::uint64_t offset) {
  if (!file_.isOpen()) return false;
  if (offset >= bufferStart_ && offset - bufferStart_ <= filled_) {
    cursor_ = static_cast<std::size_t>(offset - bufferStart_);
    return true;
  }
  if (!file_.seek(offset)) return false;  // the file stays where the buffer ends
  bufferStart_ = offset;
  filled_ = 0;
  cursor_ = 0;
  return true;
}

void BufferedFile::stepBack() {
  std::uint64_t current = position();
  if (current > 0) seek(current - 1);
}

std::uint64_t BufferedFile::size() {
  return file_.size();
}

}  // namespace quorvel
