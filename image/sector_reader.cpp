#include "image/sector_reader.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "image/image_conversion.h"
#include "serial/trace.h"

namespace quorvel {

namespace {

constexpr int kEof = BufferedFile::kEof;
constexpr char kSectorMark = '$';
constexpr char kAddressEnd = ',';
// Address words, checksum low and high, compatibility word.
constexpr std::size_t kFrameOverheadWords = 5;
constexpr std::uint32_t kAddressWords = 2;
// "0x", the address characters and the terminator.
constexpr std::size_t kAddressBufferChars = 2 + kMaxAddressTextChars + 1;
constexpr std::uint32_t kMaxAddress = 0x7FFFFFFF;

// Digit values of either case (the numeric conversion accepts both), -1 for other bytes.
constexpr std::array<std::int8_t, 256> kDigitValues = [] {
  std::array<std::int8_t, 256> values{};
  for (int c = 0; c < 256; ++c) {
    if (c >= '0' && c <= '9') {
      values[c] = static_cast<std::int8_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      values[c] = static_cast<std::int8_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      values[c] = static_cast<std::int8_t>(c - 'a' + 10);
    } else {
      values[c] = -1;
    }
  }
  return values;
}();

// Value of a digit of either case, or -1 (also for kEof).
int hexDigitValue(int c) {
  return c >= 0 && c < 256 ? kDigitValues[c] : -1;
}

// A digit of either case: what a byte's other three digits may be, the high byte's in MSB.tmp
// and the second of LSB.tmp, since only the first LSB.tmp digit decides that a byte starts.
bool isHexDigit(int c) {
  return hexDigitValue(c) >= 0;
}

constexpr std::array<bool, 256> kUpperHexDigits = [] {
  std::array<bool, 256> upper{};
  for (int c = 0; c < 256; ++c) upper[c] = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
  return upper;
}();

// Only upper-case digits start a byte: lower-case ones are separators.
bool isUpperHexDigit(int c) {
  return c >= 0 && c < 256 && kUpperHexDigits[c];
}
bool isUpperHexDigit(unsigned char c) {
  return kUpperHexDigits[c];
}

// Hexadecimal value of the leading digits, stopping at the first character that is not
// one, saturating at 0x7FFFFFFF like a signed 32-bit conversion.
template <typename Chars>
std::uint32_t leadingHexValue(const Chars& chars) {
  std::uint64_t value = 0;
  for (int c : chars) {
    int digit = hexDigitValue(c);
    if (digit < 0) break;
    value = std::min<std::uint64_t>(value * 16 + static_cast<unsigned>(digit), kMaxAddress + 1ULL);
  }
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, kMaxAddress));
}

// The word of a byte pair: high-byte digits from MSB.tmp, then low-byte digits from LSB.tmp.
// Only the first LSB.tmp digit has been tested; the others count while they are digits.
std::uint16_t wordValue(int msb1, int msb2, int lsb1, int lsb2) {
  const int digits[] = {msb1, msb2, lsb1, lsb2};
  std::uint32_t value = 0;
  for (int c : digits) {
    int digit = hexDigitValue(c);
    if (digit < 0) break;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return static_cast<std::uint16_t>(value);
}

// One pass over both files from their current position (their start), in the reader's own
// structure, stopping at the first fault.
class ImageScanner {
 public:
  ImageScanner(BufferedFile& lsb, BufferedFile& msb) : lsb_(lsb), msb_(msb) {}

  ImageValidation run() {
    bool inSector = false;
    std::uint32_t sectorWords = 0;
    for (;;) {
      if (inSector && !scanBufferedData(sectorWords, result_.dataWords)) return result_;
      const std::uint64_t at = offset_;
      Pair c;
      if (!next(c)) return result_;
      if (c.lsb == kEof) break;
      if (c.lsb == kSectorMark) {
        if (c.msb != kSectorMark) return fail(ImageValidation::Fault::FilesOutOfStep, at);
        if (!scanAddressRecord(at)) return result_;
        inSector = true;
        sectorWords = 0;
        ++result_.sectors;
        continue;
      }
      if (!inSector || !isUpperHexDigit(c.lsb)) continue;
      if (!isHexDigit(c.msb)) return fail(ImageValidation::Fault::FilesOutOfStep, at);
      if (++sectorWords > kMaxSectorDataWords) {
        return fail(ImageValidation::Fault::SectorTooLarge, at);
      }
      ++result_.dataWords;
      const std::uint64_t secondAt = offset_;
      if (!next(c)) return result_;
      if (!isHexDigit(c.lsb) || !isHexDigit(c.msb)) {
        return fail(ImageValidation::Fault::BadSecondDigit, secondAt);
      }
    }
    if (result_.dataWords == 0) return fail(ImageValidation::Fault::NoData, offset_);
    return result_;
  }

 private:
  struct Pair {
    int lsb = kEof;
    int msb = kEof;
  };

  ImageValidation fail(ImageValidation::Fault fault, std::uint64_t offset) {
    result_.fault = fault;
    result_.offset = offset;
    return result_;
  }

  // The data checks of run() over the characters both files hold in their buffers, without
  // a call per character. Stops before a "$" and where a byte could straddle the buffer end;
  // false with the fault recorded.
  bool scanBufferedData(std::uint32_t& sectorWords, std::uint64_t& imageWords) {
    const std::size_t n = std::min(lsb_.buffered(), msb_.buffered());
    const unsigned char* l = lsb_.peek();
    const unsigned char* m = msb_.peek();
    std::size_t i = 0;
    while (i + 1 < n && l[i] != kSectorMark) {
      if (!isUpperHexDigit(l[i])) {
        ++i;
        continue;
      }
      if (!isHexDigit(m[i])) return failed(ImageValidation::Fault::FilesOutOfStep, i);
      if (++sectorWords > kMaxSectorDataWords) {
        return failed(ImageValidation::Fault::SectorTooLarge, i);
      }
      if (!isHexDigit(l[i + 1]) || !isHexDigit(m[i + 1])) {
        return failed(ImageValidation::Fault::BadSecondDigit, i + 1);
      }
      ++imageWords;
      i += 2;
    }
    lsb_.skip(i);
    msb_.skip(i);
    offset_ += i;
    return true;
  }

  // A fault `ahead` characters past offset_; the read position no longer matters.
  bool failed(ImageValidation::Fault fault, std::size_t ahead) {
    fail(fault, offset_ + ahead);
    return false;
  }

  // Reads the pair at offset_; false (with the fault recorded) when only one file ended.
  bool next(Pair& c) {
    c.lsb = lsb_.get();
    c.msb = msb_.get();
    if ((c.lsb == kEof) != (c.msb == kEof)) {
      fail(ImageValidation::Fault::FilesOutOfStep, offset_);
      return false;
    }
    if (c.lsb != kEof) ++offset_;
    return true;
  }

  // From the character after "$" up to and including the comma.
  bool scanAddressRecord(std::uint64_t markAt) {
    Pair c;
    if (!next(c)) return false;  // the skipped character
    std::uint32_t addressChars = 0;
    for (;;) {
      if (c.lsb == kEof) {
        fail(ImageValidation::Fault::MissingComma, markAt);
        return false;
      }
      const std::uint64_t at = offset_;
      if (!next(c)) return false;
      if (c.lsb == kAddressEnd) {
        if (c.msb == kAddressEnd) return true;
        fail(ImageValidation::Fault::FilesOutOfStep, at);
        return false;
      }
      if (c.lsb != kEof && ++addressChars > kMaxAddressTextChars) {
        fail(ImageValidation::Fault::AddressTooLong, at);
        return false;
      }
    }
  }

  BufferedFile& lsb_;
  BufferedFile& msb_;
  std::uint64_t offset_ = 0;
  ImageValidation result_;
};

const char* faultText(ImageValidation::Fault fault) {
  using Fault = ImageValidation::Fault;
  switch (fault) {
    case Fault::None:
      return "image valid";
    case Fault::NotOpen:
      return "temporary files not both open";
    case Fault::MissingComma:
      return "address record without comma";
    case Fault::AddressTooLong:
      return "address text over 13 characters";
    case Fault::SectorTooLarge:
      return "sector over 31995 data words";
    case Fault::FilesOutOfStep:
      return "LSB and MSB files out of step";
    case Fault::BadSecondDigit:
      return "byte with a bad second digit";
    case Fault::NoData:
      return "image without data";
  }
  return "unknown fault";
}

}  // namespace

std::string ImageValidation::describe() const {
  if (ok()) return faultText(fault);
  char text[96];
  std::snprintf(text, sizeof text, "%s at offset %llu", faultText(fault),
                static_cast<unsigned long long>(offset));
  return text;
}

bool SectorReader::open(const std::string& directory) {
  return open(pathIn(directory, kMsbFileName).c_str(), pathIn(directory, kLsbFileName).c_str());
}

bool SectorReader::open(const char* msbPath, const char* lsbPath) {
  bool msbOpened = msbFile_.open(msbPath);
  bool lsbOpened = lsbFile_.open(lsbPath);
  return msbOpened && lsbOpened;
}

void SectorReader::close() {
  msbFile_.close();
  lsbFile_.close();
}

void SectorReader::measureLsbLength() {
  lsbLength_ = lsbFile_.size();
}

void SectorReader::seekBoth(std::uint64_t offset) {
  msbFile_.seek(offset);
  lsbFile_.seek(offset);
}

void SectorReader::readCompatibilityWord() {
  const std::uint64_t saved = lsbFile_.position();
  lsbFile_.seek(0);
  msbFile_.seek(0);
  skipPastAddressEnd();
  // An image without a data word keeps the value of unopened files.
  compatibilityWord_ = kNoCompatibilityWord;
  for (;;) {
    CharPair c = readPair();
    if (isUpperHexDigit(c.lsb)) {
      CharPair second = readPair();
      compatibilityWord_ = wordValue(c.msb, second.msb, c.lsb, second.lsb);
      break;
    }
    if (c.lsb == kEof) break;
    // A sector without data: the next record's address digits are no data word.
    if (c.lsb == kSectorMark) {
      readPair();
      skipPastAddressEnd();
    }
  }
  seekBoth(saved);
}

void SectorReader::skipPastAddressEnd() {
  for (;;) {
    CharPair c = readPair();
    if (c.lsb == kAddressEnd || c.lsb == kEof) return;
  }
}

bool SectorReader::readSector(std::span<std::uint16_t> frame, std::uint32_t& frameWords) {
  frameWords = 0;
  if (frame.size() < kFrameOverheadWords) return false;
  for (;;) {
    CharPair c = readPair();
    if (c.lsb == kSectorMark) break;
    if (c.lsb == kEof) {
      trace(0, "End of file\n");
      return false;
    }
  }
  trace(1, "\nSector found\n");
  readPair();  // the character after "$" is never examined

  std::uint32_t address = 0;
  if (!readAddress(address)) return false;
  frame[0] = static_cast<std::uint16_t>(address >> 16);
  frame[1] = static_cast<std::uint16_t>(address & 0xFFFFu);
  frameWords = kAddressWords;

  std::uint32_t checksum = 0;
  if (!readDataWords(frame, frameWords, checksum)) {
    frameWords = 0;
    return false;
  }
  // The character that ended the sector (its successor's "$") is read again next time.
  msbFile_.stepBack();
  lsbFile_.stepBack();
  trace(0, "Number of words %lu\n", static_cast<unsigned long>(frameWords));

  frame[frameWords++] = static_cast<std::uint16_t>(checksum & 0xFFFFu);
  frame[frameWords++] = static_cast<std::uint16_t>(checksum >> 16);
  frame[frameWords++] = compatibilityWord_;
  return true;
}

// Reads the address text up to its comma; false for a record without comma or with a text
// over the limit, which the conversion buffer could not hold.
bool SectorReader::readAddress(std::uint32_t& address) {
  char text[kAddressBufferChars] = {'0', 'x'};
  std::size_t length = 2;
  for (;;) {
    CharPair c = readPair();
    if (c.lsb == kAddressEnd) break;
    if (c.lsb == kEof || length == kAddressBufferChars - 1) return false;
    text[length++] = static_cast<char>(c.lsb);
  }
  text[length] = '\0';
  trace(1, "Adress %s\n", text);
  address = leadingHexValue(std::span<const char>(text + 2, length - 2));
  return true;
}

// Appends the data words of the sector to `frame`; false when they would not leave room for
// the trailer in `frame` or exceed the largest sector.
bool SectorReader::readDataWords(std::span<std::uint16_t> frame, std::uint32_t& frameWords,
                                 std::uint32_t& checksum) {
  const std::size_t dataRoom =
      std::min<std::size_t>(kMaxSectorDataWords, frame.size() - kFrameOverheadWords);
  const DataLimit limit{kAddressWords + dataRoom};
  for (;;) {
    DataScan scan = scanBufferedData(frame, frameWords, checksum, limit);
    if (scan != DataScan::More) return scan == DataScan::SectorEnd;
    // At a buffer boundary or the end of a file: one step character by character.
    CharPair c = readPair();
    if (isUpperHexDigit(c.lsb)) {
      CharPair second = readPair();
      if (frameWords >= limit.words) return false;
      std::uint16_t word = wordValue(c.msb, second.msb, c.lsb, second.lsb);
      frame[frameWords++] = word;
      checksum += word;
      c = second;
    }
    if (c.lsb == kEof || c.msb == kEof || c.lsb == kSectorMark) return true;
  }
}

// The loop of readDataWords() over the characters both files hold in their buffers. Neither
// file can end inside them, so only "$" ends the sector here.
SectorReader::DataScan SectorReader::scanBufferedData(std::span<std::uint16_t> frame,
                                                      std::uint32_t& frameWords,
                                                      std::uint32_t& checksum, DataLimit limit) {
  const std::size_t n = std::min(lsbFile_.buffered(), msbFile_.buffered());
  const unsigned char* l = lsbFile_.peek();
  const unsigned char* m = msbFile_.peek();
  std::size_t i = 0;
  DataScan scan = DataScan::More;
  while (i + 1 < n) {  // room for both digits of a byte
    int last = l[i];
    if (isUpperHexDigit(last)) {
      if (frameWords >= limit.words) {
        scan = DataScan::TooLarge;
        break;
      }
      std::uint16_t word = wordValue(m[i], m[i + 1], last, l[i + 1]);
      frame[frameWords++] = word;
      checksum += word;
      last = l[i + 1];
      i += 2;
    } else {
      i += 1;
    }
    if (last == kSectorMark) {
      scan = DataScan::SectorEnd;
      break;
    }
  }
  lsbFile_.skip(i);
  msbFile_.skip(i);
  return scan;
}

std::uint64_t SectorReader::position() const {
  return lsbFile_.position();
}

void SectorReader::rewind() {
  lsbFile_.seek(0);
  msbFile_.seek(0);
}

ImageValidation SectorReader::validate() {
  if (!lsbFile_.isOpen() || !msbFile_.isOpen()) {
    return {ImageValidation::Fault::NotOpen, 0};
  }
  const std::uint64_t lsbSaved = lsbFile_.position();
  const std::uint64_t msbSaved = msbFile_.position();
  seekBoth(0);
  ImageValidation result = ImageScanner(lsbFile_, msbFile_).run();
  lsbFile_.seek(lsbSaved);
  msbFile_.seek(msbSaved);
  return result;
}

}  // namespace quorvel
