#include "tools/make-sample-image/sample_image.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quorvel::sample {
namespace {

// Byte address 0x10000, so the image needs an extended linear address record at once.
constexpr std::uint32_t kFirstRunWordAddress = 0x8000;
constexpr std::uint32_t kGapWords[] = {0x100, 0x1000};
constexpr std::uint32_t kRunAlignWords = 0x100;
constexpr std::size_t kRecordDataBytes = 16;
constexpr std::uint32_t kSegmentBytes = 0x10000;
constexpr char kDigits[] = "0123456789ABCDEF";

// splitmix64: tiny, and the same sequence on every compiler and library.
class WordGenerator {
 public:
  explicit WordGenerator(std::uint64_t seed) : state_(seed) {}
  std::uint16_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::uint16_t>((z ^ (z >> 31)) >> 16);
  }

 private:
  std::uint64_t state_;
};

// Half, a quarter and the rest of the words; fewer runs for tiny images.
std::vector<std::uint32_t> runSizes(std::uint32_t words) {
  if (words < 3) return {words};
  const std::uint32_t first = words / 2;
  const std::uint32_t second = words / 4;
  return {first, second, words - first - second};
}

std::uint32_t alignUp(std::uint32_t value, std::uint32_t step) {
  return (value + step - 1) / step * step;
}

class HexText {
 public:
  void record(std::uint8_t type, std::uint16_t offset, std::span<const std::uint8_t> data) {
    std::uint8_t sum = 0;
    text_.push_back(':');
    const auto put = [&](std::uint8_t byte) {
      sum = static_cast<std::uint8_t>(sum + byte);
      text_.push_back(kDigits[byte >> 4]);
      text_.push_back(kDigits[byte & 0xF]);
    };
    put(static_cast<std::uint8_t>(data.size()));
    put(static_cast<std::uint8_t>(offset >> 8));
    put(static_cast<std::uint8_t>(offset & 0xFF));
    put(type);
    for (std::uint8_t byte : data) put(byte);
    put(static_cast<std::uint8_t>(0x100 - sum));
    text_ += "\r\n";
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

void appendRun(const SampleRun& run, HexText& hex, std::uint32_t& upper) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(run.words.size() * 2);
  for (std::uint16_t word : run.words) {
    bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
  }
  std::uint32_t address = run.wordAddress * 2;
  for (std::size_t at = 0; at < bytes.size();) {
    if (address >> 16 != upper) {
      upper = address >> 16;
      const std::uint8_t base[] = {static_cast<std::uint8_t>(upper >> 8),
                                   static_cast<std::uint8_t>(upper & 0xFF)};
      hex.record(0x04, 0, base);
    }
    // A record never crosses a 64 KB boundary.
    const std::size_t room = kSegmentBytes - (address & 0xFFFF);
    const std::size_t count = std::min({kRecordDataBytes, bytes.size() - at, room});
    hex.record(0x00, static_cast<std::uint16_t>(address & 0xFFFF),
               std::span<const std::uint8_t>(bytes).subspan(at, count));
    at += count;
    address += static_cast<std::uint32_t>(count);
  }
}

bool parseNumber(const char* text, std::uint64_t max, std::uint64_t& value) {
  if (text == nullptr || *text == '\0' || *text == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  value = parsed;
  return true;
}

}  // namespace

std::vector<SampleRun> makeSampleImage(const SampleOptions& options) {
  WordGenerator generator(options.seed);
  std::vector<SampleRun> runs;
  std::uint32_t address = kFirstRunWordAddress;
  std::size_t gap = 0;
  for (std::uint32_t size : runSizes(options.words)) {
    SampleRun run{address, {}};
    run.words.reserve(size);
    for (std::uint32_t i = 0; i < size; ++i) run.words.push_back(generator.next());
    address = alignUp(address + size + kGapWords[gap++ % std::size(kGapWords)], kRunAlignWords);
    runs.push_back(std::move(run));
  }
  if (!runs.empty() && !runs.front().words.empty()) runs.front().words.front() = options.compat;
  return runs;
}

std::string toIntelHex(std::span<const SampleRun> runs) {
  HexText hex;
  std::uint32_t upper = 0;
  for (const SampleRun& run : runs) appendRun(run, hex, upper);
  hex.record(0x01, 0, {});
  return hex.take();
}

std::optional<SampleOptions> parseSampleOptions(std::span<const char* const> args) {
  SampleOptions options;
  for (std::size_t i = 0; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return std::nullopt;
    const std::string_view name = args[i];
    const char* value = args[i + 1];
    std::uint64_t number = 0;
    if (name == "--words" && parseNumber(value, kMaxWords, number) && number > 0) {
      options.words = static_cast<std::uint32_t>(number);
    } else if (name == "--seed" && parseNumber(value, UINT64_MAX, number)) {
      options.seed = number;
    } else if (name == "--compat" && parseNumber(value, 0xFFFF, number)) {
      options.compat = static_cast<std::uint16_t>(number);
    } else if (name == "-o" && *value != '\0') {
      options.output = value;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

const char* sampleUsageText() {
  return "usage: make-sample-image [--words N] [--seed N] [--compat 0xMMmm] [-o FILE]\n"
         "  Writes a deterministic sample firmware image as Intel HEX (default quorvel.out,\n"
         "  20000 words, seed 1, compatibility 0x0100 = version 1.0). The first word is the\n"
         "  compatibility word: high byte major, low byte minor.\n";
}

}  // namespace quorvel::sample
