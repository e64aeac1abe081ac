#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "image/buffered_file.h"

namespace quorvel {

// A frame holds two address words, the data words, two checksum words and the
// compatibility word.
inline constexpr std::uint32_t kFrameBufferWords = 32000;
inline constexpr std::uint32_t kMaxSectorDataWords = kFrameBufferWords - 5;  // 31995
inline constexpr std::uint32_t kMaxAddressTextChars = 13;
inline constexpr std::uint16_t kNoCompatibilityWord = 0xFFFF;

// First fault found by SectorReader::validate().
struct ImageValidation {
  enum class Fault {
    None,
    NotOpen,         // the files are not both open
    MissingComma,    // an address record with no comma before the end of LSB.tmp
    AddressTooLong,  // an address text of more than 13 characters
    SectorTooLarge,  // a sector of more than 31995 data words
    FilesOutOfStep,  // different lengths, or different kinds of character at a position
    BadSecondDigit,  // a byte whose second digit is not a hexadecimal digit
    NoData,          // not one data word in the whole image
  };
  Fault fault = Fault::None;
  // Byte offset of the fault: the "$" of a record without comma, the first address character
  // beyond the limit, the first digit of the first data word beyond the limit, the first
  // position out of step (the shorter length for files of different lengths), the second
  // digit of a bad byte, the length of LSB.tmp for an image without data.
  std::uint64_t offset = 0;
  // What the pass counted up to the fault (the whole image when ok()).
  std::uint64_t dataWords = 0;
  std::uint64_t sectors = 0;
  bool ok() const { return fault == Fault::None; }
  std::string describe() const;  // one line for logs and error messages
};

// Reads LSB.tmp and MSB.tmp in lock-step and lays out sector frames. Structure is decided
// by the LSB.tmp character alone; MSB.tmp only supplies the high-byte digits.
class SectorReader {
 public:
  // Opens MSB.tmp, then LSB.tmp, from `directory` (empty: the working directory). True only
  // when both opened; a file that opened stays open until close().
  bool open(const std::string& directory = {});
  // Same, with explicit paths (tests, tools).
  bool open(const char* msbPath, const char* lsbPath);
  void close();

  void measureLsbLength();
  void readCompatibilityWord();
  // Builds the next frame into `frame` and its word count into `frameWords`. False at the
  // end of the image, and also (without writing past `frame`) for input beyond the limits.
  bool readSector(std::span<std::uint16_t> frame, std::uint32_t& frameWords);
  // Read position of LSB.tmp in bytes.
  std::uint64_t position() const;
  void rewind();

  // One pass over both files, from their start; leaves the read position as it was.
  // Reports the first fault that would make readSector() stop early or read wrong words.
  ImageValidation validate();

  std::uint64_t lsbLength() const { return lsbLength_; }
  std::uint16_t compatibilityWord() const { return compatibilityWord_; }
  // The compatibility word another reader has read from the same files: what every frame
  // then carries, without reading the files here.
  void useCompatibilityWord(std::uint16_t word) { compatibilityWord_ = word; }

 private:
  struct CharPair {
    int lsb;
    int msb;
  };
  CharPair readPair() { return {lsbFile_.get(), msbFile_.get()}; }
  void seekBoth(std::uint64_t offset);
  void skipPastAddressEnd();
  bool readAddress(std::uint32_t& address);
  bool readDataWords(std::span<std::uint16_t> frame, std::uint32_t& frameWords,
                     std::uint32_t& checksum);
  enum class DataScan { More, SectorEnd, TooLarge };
  struct DataLimit {
    std::size_t words;  // frame index the data words must stay below
  };
  DataScan scanBufferedData(std::span<std::uint16_t> frame, std::uint32_t& frameWords,
                            std::uint32_t& checksum, DataLimit limit);

  BufferedFile msbFile_;
  BufferedFile lsbFile_;
  std::uint64_t lsbLength_ = 0;
  std::uint16_t compatibilityWord_ = kNoCompatibilityWord;
};

}  // namespace quorvel
