#include "image/buffered_file.h"

#include <ios>

namespace quorvel {

bool BufferedFile::open(const char* path) {
  close();
  // Our own buffer does the buffering; an unbuffered filebuf reads straight into it.
  file_.pubsetbuf(nullptr, 0);
  if (file_.open(path, std::ios::in | std::ios::binary) == nullptr) return false;
  if (!buffer_) buffer_ = std::make_unique<unsigned char[]>(kBufferBytes);
  return true;
}

void BufferedFile::close() {
  if (file_.is_open()) file_.close();
  bufferStart_ = 0;
  filled_ = 0;
  cursor_ = 0;
}

// Invariant: the underlying file stands at bufferStart_ + filled_.
int BufferedFile::refillAndGet() {
  if (!file_.is_open()) return kEof;
  bufferStart_ += filled_;
  cursor_ = 0;
  filled_ = 0;
  std::streamsize got = file_.sgetn(reinterpret_cast<char*>(buffer_.get()),
                                    static_cast<std::streamsize>(kBufferBytes));
  if (got <= 0) return kEof;
  filled_ = static_cast<std::size_t>(got);
  return buffer_[cursor_++];
}

bool BufferedFile::seek(std::uint64_t offset) {
  if (!file_.is_open()) return false;
  if (offset >= bufferStart_ && offset - bufferStart_ <= filled_) {
    cursor_ = static_cast<std::size_t>(offset - bufferStart_);
    return true;
  }
  auto target = static_cast<std::streamoff>(offset);
  if (file_.pubseekpos(target, std::ios::in) != std::streampos(target)) {
    file_.pubseekpos(static_cast<std::streamoff>(bufferStart_ + filled_), std::ios::in);
    return false;
  }
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
  if (!file_.is_open()) return 0;
  std::streamoff end = file_.pubseekoff(0, std::ios::end, std::ios::in);
  file_.pubseekpos(static_cast<std::streamoff>(bufferStart_ + filled_), std::ios::in);
  return end < 0 ? 0 : static_cast<std::uint64_t>(end);
}

}  // namespace quorvel
