#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvel::sim {

// The instrument's memory as received: 16-bit words by word address. Kept as sorted,
// disjoint, non-adjacent runs so that a resent or overlapping sector simply overwrites.
class WordImage {
 public:
  void write(std::uint64_t wordAddress, std::span<const std::uint16_t> words);

  // Start word address -> contiguous words.
  const std::map<std::uint64_t, std::vector<std::uint16_t>>& runs() const { return runs_; }
  std::size_t wordCount() const;

 private:
  std::map<std::uint64_t, std::vector<std::uint16_t>> runs_;
};

// Intel HEX of the image: byte address = word address x 2, low byte first; 16 data bytes
// per record, extended linear address records where the upper 16 bits change, end record.
// Nothing when a byte address does not fit the format's 32 bits.
std::optional<std::string> toIntelHex(const WordImage& image);

}  // namespace quorvel::sim
