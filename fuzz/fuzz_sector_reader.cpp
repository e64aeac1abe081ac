// Any pair of files given to the image reader: no crash, no endless loop, no access outside
// the frame buffer. The input is split in two: bytes 0-1 give the length of LSB.tmp (modulo
// the input), the rest after it is MSB.tmp.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "fuzz/memory_files.h"
#include "image/sector_reader.h"
#include "serial/trace.h"

namespace quorvel {

// Traces are formatted as usual (the address text goes through "%s") but not written.
int trace(std::uint8_t enable, const char* format, ...) {
  if (enable == 0) return 0;
  char buffer[kTraceBufferSize];
  va_list args;
  va_start(args, format);
  int produced = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return produced;
}

}  // namespace quorvel

namespace {

constexpr std::size_t kSplitBytes = 2;
// A short frame buffer as well, so that the buffer-size checks are reached too.
constexpr std::size_t kSmallFrameWords = 12;

// The reader's files, served from memory (read_only_file_memory.cpp).
constexpr const char* kLsbPath = "LSB.tmp";
constexpr const char* kMsbPath = "MSB.tmp";

// An exactly sized heap buffer, made once: a write past its end still traps.
std::span<std::uint16_t> frameBuffer(std::size_t words) {
  static auto large = std::make_unique_for_overwrite<std::uint16_t[]>(quorvel::kFrameBufferWords);
  static auto small = std::make_unique_for_overwrite<std::uint16_t[]>(kSmallFrameWords);
  return {words == kSmallFrameWords ? small.get() : large.get(), words};
}

// Reads every sector into `frame`; traps on a reader that does not come to an end or reports
// more words than the buffer holds.
void readAll(quorvel::SectorReader& reader, std::span<std::uint16_t> frame, std::size_t inputSize) {
  std::uint32_t words = 0;
  std::size_t sectors = 0;
  while (reader.readSector(frame, words)) {
    if (words > frame.size() || ++sectors > inputSize) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kSplitBytes) return 0;
  const std::size_t body = size - kSplitBytes;
  const std::size_t lsbSize = (data[0] | (std::size_t{data[1]} << 8)) % (body + 1);
  quorvel::fuzz::setMemoryFile(kLsbPath, data + kSplitBytes, lsbSize);
  quorvel::fuzz::setMemoryFile(kMsbPath, data + kSplitBytes + lsbSize, body - lsbSize);

  quorvel::SectorReader reader;
  const bool opened = reader.open(kMsbPath, kLsbPath);
  if (!opened) return 0;
  reader.measureLsbLength();
  reader.readCompatibilityWord();
  quorvel::ImageValidation validation = reader.validate();
  if (reader.position() != 0) __builtin_trap();  // validate() keeps the read position

  readAll(reader, frameBuffer(quorvel::kFrameBufferWords), body);
  // A valid image is read to its end, never stopped early by a limit.
  if (validation.ok() && reader.position() != reader.lsbLength()) __builtin_trap();
  reader.rewind();
  readAll(reader, frameBuffer(kSmallFrameWords), body);
  return 0;
}
