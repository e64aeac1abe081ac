#include "tools/hex55/ascii_hex_writer.h"

#include <algorithm>
#include <string>

namespace quorvel::hex55 {
namespace {

constexpr char kStartOfText = 0x02;
constexpr char kEndOfText = 0x03;
constexpr char kLineEnd[] = "\r\n";
constexpr char kDigits[] = "0123456789ABCDEF";
constexpr std::size_t kFlushBytes = 1 << 16;

// Collects text and hands it to the stream in large blocks; remembers the first failure.
class BlockWriter {
 public:
  explicit BlockWriter(std::FILE* out) : out_(out) { text_.reserve(kFlushBytes + 256); }

  void put(char c) { text_.push_back(c); }
  void put(const char* s) { text_.append(s); }
  void putByte(std::uint8_t value) {
    text_.push_back(kDigits[value >> 4]);
    text_.push_back(kDigits[value & 0xF]);
    text_.push_back(' ');
  }
  void putAddress(std::uint64_t wordAddress) {
    char digits[16];
    int count = 0;
    do {
      digits[count++] = kDigits[wordAddress & 0xF];
      wordAddress >>= 4;
    } while (wordAddress != 0 || count < 4);
    while (count > 0) text_.push_back(digits[--count]);
  }
  void flushIfFull() {
    if (text_.size() >= kFlushBytes) flush();
  }
  bool finish() {
    flush();
    return ok_ && std::fflush(out_) == 0 && std::ferror(out_) == 0;
  }

 private:
  void flush() {
    if (ok_ && !text_.empty())
      ok_ = std::fwrite(text_.data(), 1, text_.size(), out_) == text_.size();
    text_.clear();
  }

  std::FILE* out_;
  std::string text_;
  bool ok_ = true;
};

void writeSector(const ByteRun& run, std::size_t firstWord, std::size_t words, ByteLane lane,
                 BlockWriter& writer) {
  writer.put("$A");
  writer.putAddress(run.start / 2 + firstWord);
  writer.put(",");
  writer.put(kLineEnd);
  const std::size_t laneOffset = lane == ByteLane::Low ? 0 : 1;
  for (std::size_t i = 0; i < words; ++i) {
    writer.putByte(run.bytes[2 * (firstWord + i) + laneOffset]);
    if (i % kBytesPerLine == kBytesPerLine - 1 || i + 1 == words) {
      writer.put(kLineEnd);
      writer.flushIfFull();
    }
  }
}

}  // namespace

bool writeAsciiHex(std::span<const ByteRun> runs, ByteLane lane, std::FILE* out) {
  BlockWriter writer(out);
  writer.put(kStartOfText);
  writer.put(kLineEnd);
  for (const ByteRun& run : runs) {
    const std::size_t runWords = run.bytes.size() / 2;
    for (std::size_t first = 0; first < runWords; first += kSectorWords) {
      writeSector(run, first, std::min<std::size_t>(kSectorWords, runWords - first), lane, writer);
    }
  }
  writer.put(kEndOfText);
  writer.put(kLineEnd);
  return writer.finish();
}

}  // namespace quorvel::hex55
