#include "tools/hex55/intel_hex.h"

#include <array>
#include <cstdint>
#include <span>

namespace quorvel::hex55 {
namespace {

enum RecordType : std::uint8_t {
  kData = 0x00,
  kEndOfFile = 0x01,
  kExtendedSegmentAddress = 0x02,
  kStartSegmentAddress = 0x03,
  kExtendedLinearAddress = 0x04,
  kStartLinearAddress = 0x05,
};

// Byte count, two address bytes, type and checksum around the data.
constexpr std::size_t kRecordOverheadBytes = 5;
constexpr std::size_t kMaxRecordBytes = 255 + kRecordOverheadBytes;
constexpr std::uint32_t kSegmentBytes = 0x10000;

struct Record {
  std::uint8_t type = 0;
  std::uint16_t offset = 0;
  std::span<const std::uint8_t> data;
};

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trim(std::string_view line) {
  while (!line.empty() && isBlank(line.front())) line.remove_prefix(1);
  while (!line.empty() && isBlank(line.back())) line.remove_suffix(1);
  return line;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

class LineParser {
 public:
  LineParser(std::size_t lineNumber, std::string& error) : line_(lineNumber), error_(error) {}

  // Decodes and checks one record; `record.data` points into this parser.
  bool decode(std::string_view text, Record& record) {
    if (text.front() != ':') return fail("does not start with ':'");
    const std::string_view digits = text.substr(1);
    if (digits.size() % 2 != 0 || digits.size() / 2 < kRecordOverheadBytes ||
        digits.size() / 2 > kMaxRecordBytes) {
      return fail("malformed record");
    }
    const std::size_t size = digits.size() / 2;
    for (std::size_t i = 0; i < size; ++i) {
      const int high = hexValue(digits[2 * i]);
      const int low = hexValue(digits[2 * i + 1]);
      if (high < 0 || low < 0) return fail("invalid hex digit");
      bytes_[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    if (bytes_[0] + kRecordOverheadBytes != size) {
      return fail("byte count does not match the record length");
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i) sum += bytes_[i];
    if (sum % 256 != 0) return fail("checksum mismatch");
    record.offset = static_cast<std::uint16_t>(bytes_[1] << 8 | bytes_[2]);
    record.type = bytes_[3];
    record.data = std::span<const std::uint8_t>(bytes_.data() + 4, bytes_[0]);
    return true;
  }

  bool fail(const std::string& what) {
    error_ = "Intel HEX line " + std::to_string(line_) + ": " + what;
    return false;
  }

 private:
  std::size_t line_;
  std::string& error_;
  std::array<std::uint8_t, kMaxRecordBytes> bytes_{};
};

class Loader {
 public:
  explicit Loader(SparseImage& image) : image_(image) {}

  // Applies one record; sets `ended` on the end-of-file record.
  bool apply(const Record& record, LineParser& line, bool& ended) {
    std::string why;
    switch (record.type) {
      case kData:
        return addData(record, why) || line.fail(why);
      case kEndOfFile:
        ended = true;
        return true;
      case kExtendedSegmentAddress:
      case kExtendedLinearAddress:
        if (record.data.size() != 2) return line.fail("address record must hold 2 bytes");
        setBase(record);
        return true;
      case kStartSegmentAddress:
      case kStartLinearAddress:
        return true;  // where execution starts is of no use to the instrument
      default:
        return line.fail("unknown record type");
    }
  }

 private:
  void setBase(const Record& record) {
    const std::uint32_t value = record.data[0] << 8 | record.data[1];
    segmentMode_ = record.type == kExtendedSegmentAddress;
    base_ = segmentMode_ ? value << 4 : value << 16;
  }

  bool addData(const Record& record, std::string& error) {
    // Under a segment base the offset wraps within its 64 KB; under a linear base it runs on.
    std::span<const std::uint8_t> data = record.data;
    if (segmentMode_ && record.offset + data.size() > kSegmentBytes) {
      const std::size_t head = kSegmentBytes - record.offset;
      if (!image_.add(base_ + record.offset, data.first(head), error)) return false;
      return image_.add(base_, data.subspan(head), error);
    }
    return image_.add(std::uint64_t{base_} + record.offset, data, error);
  }

  SparseImage& image_;
  std::uint32_t base_ = 0;
  bool segmentMode_ = false;
};

}  // namespace

bool looksLikeIntelHex(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n\f\v");
  return first != std::string_view::npos && text[first] == ':';
}

bool parseIntelHex(std::string_view text, SparseImage& image, std::string& error) {
  Loader loader(image);
  bool ended = false;
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const auto newline = text.find('\n');
    const std::string_view line = trim(text.substr(0, newline));
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (line.empty()) continue;

    LineParser parser(lineNumber, error);
    // Records after the end would be silently lost, e.g. from two files joined together.
    if (ended) return parser.fail("record after the end-of-file record");
    Record record;
    if (!parser.decode(line, record)) return false;
    if (!loader.apply(record, parser, ended)) return false;
  }
  if (!ended) {
    error = "Intel HEX: no end-of-file record (type 01); the file may be truncated";
    return false;
  }
  return true;
}

}  // namespace quorvel::hex55
