#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace quorvel::testing {

using Bytes = std::vector<std::uint8_t>;

// A contiguous block of 16-bit words at a word address.
struct WordBlock {
  std::uint32_t address = 0;
  std::vector<std::uint16_t> words;
  bool operator==(const WordBlock&) const = default;
};

// Besides the text files of tests/support/scratch_dir.h.
void writeFile(const std::string& path, const Bytes& contents);
bool fileExists(const std::string& path);

// One Intel HEX record with its checksum, upper-case, without a line end.
std::string hexRecord(std::uint8_t type, std::uint16_t offset, const Bytes& data);
inline const std::string kEndRecord = ":00000001FF";
// Data records (16 bytes each, the offsets within one 64 KB page) after an 04 record.
std::string hexData(std::uint32_t byteAddress, const Bytes& data);

struct ElfSegment {
  std::uint32_t type = 1;  // PT_LOAD
  std::uint64_t paddr = 0;
  Bytes data;
  std::uint64_t extraMemory = 0;  // memsz beyond the file bytes
};
// A little-endian ELF32 or ELF64 executable: header, program headers, then segment data.
Bytes buildElf(bool is64, const std::vector<ElfSegment>& segments);

// `count` words of a simple pattern that starts at `first`.
std::vector<std::uint16_t> patternWords(std::size_t count, std::uint16_t first);
Bytes bytesOf(const std::vector<std::uint16_t>& words);

// Blocks cut into sectors of at most 4096 words, as the converter must write them.
std::vector<WordBlock> expectedSectors(const std::vector<WordBlock>& blocks);

// Every sector of the converted pair, read back by the project's SectorReader. Also checks
// each frame's checksum and trailer; `compatibility` receives the reader's value.
std::vector<WordBlock> readSectors(const std::string& lsb, const std::string& msb,
                                   std::uint16_t* compatibility = nullptr);

// Runs the built converter: "-a input -o lsb -o msb".
struct Hex55Run {
  int exitCode = 0;
  std::string output;  // stdout and stderr
};
Hex55Run runHex55(const std::vector<std::string>& args, const std::string& outputFile);

// An input and the two outputs of the converter in a scratch directory of the test's own.
class Hex55Fixture : public ::testing::Test {
 protected:
  Hex55Run run(const std::vector<std::string>& args) {
    return runHex55(args, dir.file("output.txt"));
  }
  // "-a input -o lsb -o msb".
  Hex55Run convert() { return run({"-a", input, "-o", lsb, "-o", msb}); }

  ScratchDir dir;
  std::string input = dir.file("quorvel.out");
  std::string lsb = dir.file("LSB.tmp");
  std::string msb = dir.file("MSB.tmp");
};

}  // namespace quorvel::testing
