#include "tools/quorvel-sim/word_image.h"

#include <algorithm>
#include <iterator>

namespace quorvel::sim {
namespace {

constexpr std::size_t kHexRecordDataBytes = 16;
constexpr std::uint64_t kSegmentBytes = 0x10000;
constexpr std::uint64_t kHexAddressSpace = 0x100000000ull;
constexpr std::uint8_t kRecordData = 0x00;
constexpr std::uint8_t kRecordEnd = 0x01;
constexpr std::uint8_t kRecordExtendedLinear = 0x04;

void appendRecord(std::string& out, std::uint8_t type, std::uint16_t address,
                  const std::vector<std::uint8_t>& data) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()),
                                  static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  std::uint8_t sum = 0;
  for (auto byte : bytes) sum = static_cast<std::uint8_t>(sum + byte);
  bytes.push_back(static_cast<std::uint8_t>(-sum));
  out += ':';
  for (auto byte : bytes) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
  }
  out += '\n';
}

// The run's words as bytes, low byte first.
std::vector<std::uint8_t> runBytes(const std::vector<std::uint16_t>& words) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(words.size() * 2);
  for (auto word : words) {
    bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
  }
  return bytes;
}

}  // namespace

void WordImage::write(std::uint64_t wordAddress, std::span<const std::uint16_t> words) {
  if (words.empty()) return;
  std::uint64_t begin = wordAddress;
  std::uint64_t end = wordAddress + words.size();
  // First run that overlaps or touches [begin, end): possibly the one starting before it.
  auto first = runs_.upper_bound(begin);
  if (first != runs_.begin()) {
    auto previous = std::prev(first);
    if (previous->first + previous->second.size() >= begin) first = previous;
  }
  auto last = first;
  while (last != runs_.end() && last->first <= end) {
    begin = std::min(begin, last->first);
    end = std::max(end, last->first + last->second.size());
    ++last;
  }
  std::vector<std::uint16_t> merged(end - begin);
  for (auto it = first; it != last; ++it) {
    std::copy(it->second.begin(), it->second.end(), merged.begin() + (it->first - begin));
  }
  std::copy(words.begin(), words.end(), merged.begin() + (wordAddress - begin));
  runs_.erase(first, last);
  runs_.emplace(begin, std::move(merged));
}

std::size_t WordImage::wordCount() const {
  std::size_t count = 0;
  for (const auto& [start, words] : runs_) count += words.size();
  return count;
}

std::optional<std::string> toIntelHex(const WordImage& image) {
  std::string out;
  std::uint64_t upper = 0;  // the format's implied upper address until a type 04 record
  for (const auto& [wordAddress, words] : image.runs()) {
    const std::vector<std::uint8_t> bytes = runBytes(words);
    std::uint64_t address = wordAddress * 2;
    if (address + bytes.size() > kHexAddressSpace) return std::nullopt;
    for (std::size_t offset = 0; offset < bytes.size();) {
      if (address / kSegmentBytes != upper) {
        upper = address / kSegmentBytes;
        appendRecord(out, kRecordExtendedLinear, 0,
                     {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)});
      }
      const std::size_t chunk = std::min<std::uint64_t>(
          {kHexRecordDataBytes, bytes.size() - offset, kSegmentBytes - address % kSegmentBytes});
      appendRecord(out, kRecordData, static_cast<std::uint16_t>(address % kSegmentBytes),
                   {bytes.begin() + offset, bytes.begin() + offset + chunk});
      offset += chunk;
      address += chunk;
    }
  }
  appendRecord(out, kRecordEnd, 0, {});
  return out;
}

}  // namespace quorvel::sim
