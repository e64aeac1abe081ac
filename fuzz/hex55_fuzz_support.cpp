#include "fuzz/hex55_fuzz_support.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "tools/hex55/ascii_hex_writer.h"

namespace quorvel::fuzz {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Opened once: the writer's output is only produced, never looked at.
std::FILE* sink() {
  static const std::unique_ptr<std::FILE, FileCloser> file(std::fopen("/dev/null", "wb"));
  return file.get();
}

void checkRuns(const std::vector<hex55::ByteRun>& runs, std::uint64_t maxImageBytes) {
  std::uint64_t total = 0;
  std::uint64_t previousEnd = 0;
  for (const hex55::ByteRun& run : runs) {
    if (run.bytes.empty() || run.start % 2 != 0 || run.bytes.size() % 2 != 0) __builtin_trap();
    if (&run != &runs.front() && run.start <= previousEnd) __builtin_trap();
    if (run.end() > hex55::kAddressSpaceBytes) __builtin_trap();
    previousEnd = run.end();
    total += run.bytes.size();
  }
  if (total > maxImageBytes) __builtin_trap();
}

}  // namespace

void finishAndWrite(hex55::SparseImage& image, std::uint64_t maxImageBytes) {
  const std::vector<hex55::ByteRun> runs = image.finish();
  if (!image.empty()) __builtin_trap();
  checkRuns(runs, maxImageBytes);
  if (sink() == nullptr) return;
  hex55::writeAsciiHex(runs, hex55::ByteLane::Low, sink());
  hex55::writeAsciiHex(runs, hex55::ByteLane::High, sink());
}

}  // namespace quorvel::fuzz
