#pragma once

#include <cstdint>

#include "image/image_conversion.h"
#include "image/sector_reader.h"

namespace quorvel {

// The firmware image as the converter leaves it, LSB.tmp and MSB.tmp, converted and checked
// once: its length, compatibility word and the one pass that finds an image cut short or
// out of step. Transfers read it through readers of their own (SectorReader::open with
// directory()), so any number of them can share it; they never change or delete the files.
// The files are deleted when the image is destroyed, which must come after every reader
// over them has been closed.
class FirmwareImage {
 public:
  // In the working directory with the platform's converter, as the dialog program has always
  // converted.
  FirmwareImage() : FirmwareImage(ConversionSetup{}) {}
  explicit FirmwareImage(ConversionSetup setup);
  ~FirmwareImage();
  FirmwareImage(const FirmwareImage&) = delete;
  FirmwareImage& operator=(const FirmwareImage&) = delete;

  // True when the converter ran to its end and both files passed the check.
  bool usable() const { return usable_; }
  // Where LSB.tmp and MSB.tmp lie (empty: the working directory).
  const std::string& directory() const { return setup_.directory; }
  // As read from the files; kNoCompatibilityWord when they did not both open.
  std::uint16_t compatibilityWord() const { return compatibilityWord_; }
  std::uint64_t lsbLength() const { return lsbLength_; }
  std::uint64_t dataWords() const { return dataWords_; }
  std::uint64_t sectorCount() const { return sectors_; }

 private:
  void check(SectorReader& reader);

  ConversionSetup setup_;
  bool usable_ = false;
  std::uint16_t compatibilityWord_ = kNoCompatibilityWord;
  std::uint64_t lsbLength_ = 0;
  std::uint64_t dataWords_ = 0;
  std::uint64_t sectors_ = 0;
};

}  // namespace quorvel
