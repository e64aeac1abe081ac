#include "tools/hex55/sparse_image.h"

#include <cstdio>
#include <iterator>
#include <utility>

namespace quorvel::hex55 {
namespace {

std::string addressText(std::uint64_t address) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(address));
  return text;
}

// Appends `next` to `into` when they touch (at byte level, or at word level once padded).
void appendRun(std::vector<ByteRun>& into, ByteRun next) {
  if (!into.empty() && into.back().end() == next.start) {
    auto& bytes = into.back().bytes;
    bytes.insert(bytes.end(), next.bytes.begin(), next.bytes.end());
  } else {
    into.push_back(std::move(next));
  }
}

void padToWords(ByteRun& run) {
  if (run.start % 2 != 0) {
    run.bytes.insert(run.bytes.begin(), kPadByte);
    --run.start;
  }
  if (run.bytes.size() % 2 != 0) run.bytes.push_back(kPadByte);
}

}  // namespace

bool SparseImage::add(std::uint64_t address, std::span<const std::uint8_t> bytes,
                      std::string& error) {
  if (bytes.empty()) return true;
  if (address >= kAddressSpaceBytes || bytes.size() > kAddressSpaceBytes - address) {
    error = "data at " + addressText(address) + " lies beyond the 32-bit address space";
    return false;
  }
  const std::uint64_t end = address + bytes.size();
  auto next = runs_.upper_bound(address);
  if (next != runs_.end() && next->first < end) {
    error = "overlapping data at address " + addressText(next->first);
    return false;
  }
  if (next != runs_.begin()) {
    auto previous = std::prev(next);
    const std::uint64_t previousEnd = previous->first + previous->second.size();
    if (previousEnd > address) {
      error = "overlapping data at address " + addressText(address);
      return false;
    }
    // The common case, records in address order: grow the run in place.
    if (previousEnd == address) {
      previous->second.insert(previous->second.end(), bytes.begin(), bytes.end());
      return true;
    }
  }
  runs_.emplace_hint(next, address, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  return true;
}

std::vector<ByteRun> SparseImage::finish() {
  std::vector<ByteRun> joined;
  for (auto& [start, bytes] : runs_) appendRun(joined, ByteRun{start, std::move(bytes)});
  runs_.clear();

  std::vector<ByteRun> words;
  for (auto& run : joined) {
    padToWords(run);
    appendRun(words, std::move(run));
  }
  return words;
}

}  // namespace quorvel::hex55
