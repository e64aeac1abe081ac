#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace quorvel::hex55 {

// Byte addresses of the image must fit 32 bits, so that every word address fits the
// reader's signed 32-bit address (0x7FFFFFFF at most).
inline constexpr std::uint64_t kAddressSpaceBytes = std::uint64_t{1} << 32;
inline constexpr std::uint8_t kPadByte = 0xFF;

// A contiguous range of bytes. After SparseImage::finish() it starts on an even address
// and holds an even number of bytes, i.e. whole 16-bit words (low byte first).
struct ByteRun {
  std::uint64_t start = 0;
  std::vector<std::uint8_t> bytes;

  std::uint64_t end() const { return start + bytes.size(); }
};

// The image held sparsely: only the bytes that were given, as runs keyed by start address.
// Data that would land on bytes already given is refused, whatever its value.
class SparseImage {
 public:
  // Places `bytes` at `address`. False (with `error` set) on overlap or when the range
  // leaves the 32-bit address space.
  bool add(std::uint64_t address, std::span<const std::uint8_t> bytes, std::string& error);

  bool empty() const { return runs_.empty(); }

  // Joins touching runs, pads runs that start or end on an odd byte with 0xFF and joins
  // runs that then touch as words. Leaves the image empty.
  std::vector<ByteRun> finish();

 private:
  // start address -> bytes
  std::map<std::uint64_t, std::vector<std::uint8_t>> runs_;
};

}  // namespace quorvel::hex55
