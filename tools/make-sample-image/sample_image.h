#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvel::sample {

inline constexpr std::uint32_t kDefaultWords = 20000;
inline constexpr std::uint32_t kMaxWords = 1u << 24;  // 32 MB of image
inline constexpr std::uint64_t kDefaultSeed = 1;
inline constexpr std::uint16_t kDefaultCompat = 0x0100;

struct SampleOptions {
  std::uint32_t words = kDefaultWords;
  std::uint64_t seed = kDefaultSeed;
  std::uint16_t compat = kDefaultCompat;
  std::string output = "quorvel.out";
};

// One contiguous block of the sample image.
struct SampleRun {
  std::uint32_t wordAddress = 0;
  std::vector<std::uint16_t> words;
};

// The image: up to three runs separated by gaps, so that the conversion gives several
// sectors; the first word at the lowest address is the compatibility word, every other word
// comes from a generator seeded with `seed`. Same options, same image, on every platform.
std::vector<SampleRun> makeSampleImage(const SampleOptions& options);

// The runs as Intel HEX text (16-byte data records, 04 records where the upper 16 address
// bits change, byte address = word address * 2, low byte first), ending with the 01 record.
std::string toIntelHex(std::span<const SampleRun> runs);

// Parses "--words N --seed N --compat N -o FILE" (any order, all optional; numbers in
// decimal or with 0x). Empty when the arguments are not understood.
std::optional<SampleOptions> parseSampleOptions(std::span<const char* const> args);

const char* sampleUsageText();

}  // namespace quorvel::sample
