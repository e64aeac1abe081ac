// Any pair of files given to the image reader: no crash, no endless loop, no access outside
// the frame buffer. The input is split in two: bytes 0-1 give the length of LSB.tmp (modulo
// the input), the rest after it is MSB.tmp.
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

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

namespace fs = std::filesystem;

constexpr std::size_t kSplitBytes = 2;
// A short frame buffer as well, so that the buffer-size checks are reached too.
constexpr std::size_t kSmallFrameWords = 12;

struct ScratchFiles {
  std::string lsb;
  std::string msb;
};

// Memory-backed when there is one: every input is written as two files. They are removed
// as soon as the reader holds them open, so nothing is left behind whichever way a run ends.
const ScratchFiles& scratchFiles() {
  static const ScratchFiles files = [] {
    fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string stem = "quorvel-fuzz-" + std::to_string(getpid());
    return ScratchFiles{(base / (stem + "-LSB.tmp")).string(),
                        (base / (stem + "-MSB.tmp")).string()};
  }();
  return files;
}

void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// Reads every sector into an exactly sized heap buffer; traps on a reader that does not
// come to an end or reports more words than the buffer holds.
void readAll(quorvel::SectorReader& reader, std::size_t bufferWords, std::size_t inputSize) {
  auto frame = std::make_unique<std::uint16_t[]>(bufferWords);
  std::uint32_t words = 0;
  std::size_t sectors = 0;
  while (reader.readSector(std::span<std::uint16_t>(frame.get(), bufferWords), words)) {
    if (words > bufferWords || ++sectors > inputSize) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kSplitBytes) return 0;
  const std::size_t body = size - kSplitBytes;
  const std::size_t lsbSize = (data[0] | (std::size_t{data[1]} << 8)) % (body + 1);
  const ScratchFiles& files = scratchFiles();
  writeFile(files.lsb, data + kSplitBytes, lsbSize);
  writeFile(files.msb, data + kSplitBytes + lsbSize, body - lsbSize);

  quorvel::SectorReader reader;
  const bool opened = reader.open(files.msb.c_str(), files.lsb.c_str());
  std::remove(files.lsb.c_str());
  std::remove(files.msb.c_str());
  if (!opened) return 0;
  reader.measureLsbLength();
  reader.readCompatibilityWord();
  quorvel::ImageValidation validation = reader.validate();
  if (reader.position() != 0) __builtin_trap();  // validate() keeps the read position

  readAll(reader, quorvel::kFrameBufferWords, body);
  // A valid image is read to its end, never stopped early by a limit.
  if (validation.ok() && reader.position() != reader.lsbLength()) __builtin_trap();
  reader.rewind();
  readAll(reader, kSmallFrameWords, body);
  return 0;
}
