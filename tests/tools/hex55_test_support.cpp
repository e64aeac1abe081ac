#include "tests/tools/hex55_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <span>
#include <sstream>

#include "image/sector_reader.h"
#include "tests/support/child_process.h"

namespace quorvel::testing {
namespace fs = std::filesystem;

void writeFile(const std::string& path, const Bytes& contents) {
  writeFile(path, std::string(contents.begin(), contents.end()));
}

bool fileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::string hexRecord(std::uint8_t type, std::uint16_t offset, const Bytes& data) {
  Bytes bytes{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(offset >> 8),
              static_cast<std::uint8_t>(offset), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (auto b : bytes) sum += b;
  bytes.push_back(static_cast<std::uint8_t>(0x100 - sum % 256));
  std::string text = ":";
  char digits[3];
  for (auto b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

std::string hexData(std::uint32_t byteAddress, const Bytes& data) {
  std::string text = hexRecord(
      0x04, 0,
      {static_cast<std::uint8_t>(byteAddress >> 24), static_cast<std::uint8_t>(byteAddress >> 16)});
  text += "\r\n";
  for (std::size_t at = 0; at < data.size(); at += 16) {
    const auto end = data.begin() + static_cast<std::ptrdiff_t>(std::min(at + 16, data.size()));
    const auto offset = static_cast<std::uint16_t>(byteAddress + at);
    text += hexRecord(0x00, offset, Bytes(data.begin() + static_cast<std::ptrdiff_t>(at), end));
    text += "\r\n";
  }
  return text;
}

namespace {

void putLittleEndian(Bytes& out, std::size_t at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

Bytes buildElf(bool is64, const std::vector<ElfSegment>& segments) {
  const std::size_t headerBytes = is64 ? 64 : 52;
  const std::size_t entryBytes = is64 ? 56 : 32;
  const std::size_t word = is64 ? 8 : 4;
  Bytes file(headerBytes + entryBytes * segments.size(), 0);
  const std::uint8_t ident[] = {0x7F, 'E', 'L', 'F', static_cast<std::uint8_t>(is64 ? 2 : 1), 1, 1};
  std::copy(std::begin(ident), std::end(ident), file.begin());
  putLittleEndian(file, 16, 2, 2);                            // e_type: executable
  putLittleEndian(file, is64 ? 32 : 28, headerBytes, word);   // e_phoff
  putLittleEndian(file, is64 ? 52 : 40, headerBytes, 2);      // e_ehsize
  putLittleEndian(file, is64 ? 54 : 42, entryBytes, 2);       // e_phentsize
  putLittleEndian(file, is64 ? 56 : 44, segments.size(), 2);  // e_phnum
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const ElfSegment& s = segments[i];
    const std::size_t at = headerBytes + i * entryBytes;
    const std::uint64_t offset = file.size();
    // The virtual address differs on purpose: the physical one is the image address.
    const std::uint64_t vaddr = s.paddr + 0x40000000;
    putLittleEndian(file, at, s.type, 4);
    putLittleEndian(file, at + (is64 ? 8 : 4), offset, word);
    putLittleEndian(file, at + (is64 ? 16 : 8), vaddr, word);
    putLittleEndian(file, at + (is64 ? 24 : 12), s.paddr, word);
    putLittleEndian(file, at + (is64 ? 32 : 16), s.data.size(), word);
    putLittleEndian(file, at + (is64 ? 40 : 20), s.data.size() + s.extraMemory, word);
    file.insert(file.end(), s.data.begin(), s.data.end());
  }
  return file;
}

std::vector<std::uint16_t> patternWords(std::size_t count, std::uint16_t first) {
  std::vector<std::uint16_t> words(count);
  for (std::size_t i = 0; i < count; ++i) {
    words[i] = static_cast<std::uint16_t>(first + i * 0x0101 + (i >> 8) * 0x1357);
  }
  return words;
}

Bytes bytesOf(const std::vector<std::uint16_t>& words) {
  Bytes bytes;
  for (auto w : words) {
    bytes.push_back(static_cast<std::uint8_t>(w));
    bytes.push_back(static_cast<std::uint8_t>(w >> 8));
  }
  return bytes;
}

std::vector<WordBlock> expectedSectors(const std::vector<WordBlock>& blocks) {
  constexpr std::size_t kSectorWords = 4096;
  std::vector<WordBlock> sectors;
  for (const WordBlock& block : blocks) {
    for (std::size_t at = 0; at < block.words.size(); at += kSectorWords) {
      const std::size_t end = std::min(at + kSectorWords, block.words.size());
      sectors.push_back({static_cast<std::uint32_t>(block.address + at),
                         {block.words.begin() + static_cast<std::ptrdiff_t>(at),
                          block.words.begin() + static_cast<std::ptrdiff_t>(end)}});
    }
  }
  return sectors;
}

std::vector<WordBlock> readSectors(const std::string& lsb, const std::string& msb,
                                   std::uint16_t* compatibility) {
  SectorReader reader;
  EXPECT_TRUE(reader.open(msb.c_str(), lsb.c_str()));
  reader.measureLsbLength();
  reader.readCompatibilityWord();
  if (compatibility != nullptr) *compatibility = reader.compatibilityWord();
  EXPECT_TRUE(reader.validate().ok()) << reader.validate().describe();

  std::vector<std::uint16_t> frame(kFrameBufferWords);
  std::vector<WordBlock> sectors;
  std::uint32_t frameWords = 0;
  while (reader.readSector(frame, frameWords)) {
    EXPECT_GE(frameWords, 5u);
    if (frameWords < 5) break;
    const std::uint32_t dataWords = frameWords - 5;
    WordBlock sector{static_cast<std::uint32_t>(frame[0]) << 16 | frame[1],
                     {frame.begin() + 2, frame.begin() + 2 + dataWords}};
    std::uint32_t sum = 0;
    for (auto w : sector.words) sum += w;
    EXPECT_EQ(frame[2 + dataWords], sum & 0xFFFF);
    EXPECT_EQ(frame[3 + dataWords], sum >> 16);
    EXPECT_EQ(frame[4 + dataWords], reader.compatibilityWord());
    sectors.push_back(std::move(sector));
  }
  reader.close();
  return sectors;
}

Hex55Run runHex55(const std::vector<std::string>& args, const std::string& outputFile) {
  Hex55Run run;
  run.exitCode = runProgram(HEX55_PATH, args, outputFile);
  run.output = readFile(outputFile);
  return run;
}

}  // namespace quorvel::testing
