// Refused input and command lines: exit status, one line on stderr, no output files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/tools/hex55_test_support.h"

namespace quorvel::testing {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const std::string kDataRecord = hexRecord(0x00, 0x0100, {0x01, 0x02, 0x03, 0x04});

std::string lines(std::initializer_list<std::string> records) {
  std::string text;
  for (const auto& record : records) text += record + "\r\n";
  return text;
}

Bytes smallElf(bool is64, std::uint64_t paddr = 0x1000) {
  return buildElf(is64, {{1, paddr, {1, 2, 3, 4, 5, 6, 7, 8}, 0}});
}

Bytes truncated(Bytes file, std::size_t size) {
  file.resize(size);
  return file;
}

Bytes withByte(Bytes file, std::size_t at, std::uint8_t value) {
  file[at] = value;
  return file;
}

// Both segments of an ELF32 file, the second pointed at the whole file: thousands of such
// program headers would make a small file fill gigabytes.
Bytes withSegmentsSharingTheFile() {
  Bytes file = buildElf(false, {{1, 0x1000, {1, 2, 3, 4}, 0}, {1, 0x8000, {5, 6, 7, 8}, 0}});
  constexpr std::size_t kSecondHeader = 52 + 32;
  const auto put32 = [&](std::size_t at, std::size_t value) {
    for (std::size_t i = 0; i < 4; ++i) file[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  put32(kSecondHeader + 4, 0);             // p_offset
  put32(kSecondHeader + 16, file.size());  // p_filesz
  return file;
}

std::string asText(const Bytes& bytes) {
  return {bytes.begin(), bytes.end()};
}

struct BadInput {
  const char* name;
  std::string contents;
  const char* reason;  // part of the message
};

std::vector<BadInput> badInputs() {
  std::string badDigit = kDataRecord;
  badDigit[10] = 'G';
  return {
      {"EmptyFile", "", "empty"},
      {"UnknownFormat", "hello world\r\n", "unknown input format"},
      {"BadChecksum", lines({":0401000001020304F0", kEndRecord}), "line 1: checksum"},
      {"BadHexDigit", lines({badDigit, kEndRecord}), "line 1: invalid hex digit"},
      {"OddDigitCount", lines({kDataRecord + "0", kEndRecord}), "line 1: malformed"},
      {"TooShort", lines({":00000001", kEndRecord}), "line 1: malformed"},
      {"ByteCountMismatch", lines({":0500000001020304F1", kEndRecord}), "line 1: byte count"},
      {"UnknownRecordType", lines({kDataRecord, hexRecord(0x06, 0, {}), kEndRecord}),
       "line 2: unknown record type"},
      {"GarbageLine", lines({kDataRecord, "hello", kEndRecord}), "line 2: does not start"},
      {"AddressRecordOfOneByte", lines({hexRecord(0x04, 0, {0x01}), kEndRecord}),
       "line 1: address record"},
      {"MissingEndRecord", lines({kDataRecord}), "no end-of-file record"},
      {"RecordAfterEnd", lines({kEndRecord, kDataRecord}), "line 2: record after"},
      {"OverlappingRecords",
       lines({kDataRecord, hexRecord(0x00, 0x0102, {0x09, 0x09}), kEndRecord}),
       "line 2: overlapping data at address 0x00000102"},
      {"BeyondAddressSpace",
       lines({hexRecord(0x04, 0, {0xFF, 0xFF}), hexRecord(0x00, 0xFFFF, {1, 2}), kEndRecord}),
       "32-bit"},
      {"HexWithoutData", lines({kEndRecord}), "no data"},
      {"ElfHeaderTruncated", asText(truncated(smallElf(false), 30)), "truncated"},
      {"ElfProgramHeadersCut", asText(truncated(smallElf(false), 60)), "program headers"},
      {"ElfSegmentCut", asText(truncated(smallElf(true), smallElf(true).size() - 1)),
       "segment 0 lies beyond"},
      {"ElfBigEndian", asText(withByte(smallElf(false), 5, 2)), "big-endian"},
      {"ElfUnknownClass", asText(withByte(smallElf(false), 4, 3)), "class"},
      {"ElfWithoutLoadableData", asText(buildElf(false, {{4, 0x1000, {1, 2}, 0}})), "no data"},
      {"ElfOverlappingSegments",
       asText(buildElf(true, {{1, 0x1000, {1, 2, 3, 4}, 0}, {1, 0x1002, {5, 6}, 0}})),
       "overlapping"},
      {"ElfSegmentsSharingFileBytes", asText(withSegmentsSharingTheFile()),
       "segment 1: segments place more bytes than the file holds"},
      {"Elf64BeyondAddressSpace", asText(smallElf(true, 0x1'0000'0000)), "32-bit"},
  };
}

class Hex55RefusalTest : public Hex55Fixture {
 protected:
  void expectNoOutputs() {
    for (const auto& path : {lsb, msb, lsb + ".partial", msb + ".partial"}) {
      EXPECT_FALSE(fileExists(path)) << path;
    }
  }
};

void expectOneErrorLine(const Hex55Run& result, const std::string& reason) {
  EXPECT_EQ(result.exitCode, kExitFailure) << result.output;
  EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << result.output;
  EXPECT_EQ(result.output.rfind("hex55: ", 0), 0u) << result.output;
  EXPECT_NE(result.output.find(reason), std::string::npos) << result.output;
}

class Hex55BadInputTest : public Hex55RefusalTest,
                          public ::testing::WithParamInterface<BadInput> {};

TEST_P(Hex55BadInputTest, FailsWithOneLineAndLeavesNoOutputEvenFromAnEarlierRun) {
  writeFile(input, GetParam().contents);
  writeFile(lsb, "stale");
  writeFile(msb, "stale");
  expectOneErrorLine(convert(), GetParam().reason);
  expectNoOutputs();
}

INSTANTIATE_TEST_SUITE_P(Inputs, Hex55BadInputTest, ::testing::ValuesIn(badInputs()),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(Hex55RefusalTest, MissingInput) {
  expectOneErrorLine(convert(), "cannot open input");
  expectNoOutputs();
}

TEST_F(Hex55RefusalTest, UnwritableOutputLeavesNeitherFile) {
  writeFile(input, lines({kDataRecord, kEndRecord}));
  msb = dir.file("no-such-folder/MSB.tmp");
  expectOneErrorLine(convert(), "cannot write");
  expectNoOutputs();
}

TEST_F(Hex55RefusalTest, OutputThatCannotBeReplacedRemovesTheOtherOne) {
  writeFile(input, lines({kDataRecord, kEndRecord}));
  // LSB is moved into place first; MSB then cannot replace a directory.
  std::filesystem::create_directories(dir.file("MSB.dir/inside"));
  msb = dir.file("MSB.dir");
  expectOneErrorLine(convert(), "cannot write");
  EXPECT_FALSE(fileExists(lsb));
  EXPECT_FALSE(fileExists(msb + ".partial"));
  EXPECT_TRUE(fileExists(dir.file("MSB.dir/inside")));
}

TEST_F(Hex55RefusalTest, OutputNamingTheInputLeavesTheInputAlone) {
  const std::string image = lines({kDataRecord, kEndRecord});
  writeFile(input, image);
  expectOneErrorLine(run({"-a", input, "-o", lsb, "-o", input}), "overwrite the input");
  EXPECT_EQ(readFile(input), image);
  EXPECT_FALSE(fileExists(lsb));
}

TEST_F(Hex55RefusalTest, SameFileForBothOutputs) {
  writeFile(input, lines({kDataRecord, kEndRecord}));
  expectOneErrorLine(run({"-a", input, "-o", lsb, "-o", lsb}), "different files");
  EXPECT_FALSE(fileExists(lsb));
}

struct BadCommandLine {
  const char* name;
  std::vector<std::string> args;
};

class Hex55UsageTest : public Hex55RefusalTest,
                       public ::testing::WithParamInterface<BadCommandLine> {};

TEST_P(Hex55UsageTest, PrintsUsageAndWritesNothing) {
  writeFile(input, lines({kDataRecord, kEndRecord}));
  std::vector<std::string> args;
  for (const std::string& arg : GetParam().args) {
    args.push_back(arg == "IN" ? input : arg == "LSB" ? lsb : arg == "MSB" ? msb : arg);
  }
  const Hex55Run result = run(args);
  EXPECT_EQ(result.exitCode, kExitUsage);
  EXPECT_NE(result.output.find("usage: hex55 -a INPUT -o LSB -o MSB"), std::string::npos);
  expectNoOutputs();
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, Hex55UsageTest,
    ::testing::Values(BadCommandLine{"None", {}},
                      BadCommandLine{"OneOutput", {"-a", "IN", "-o", "LSB"}},
                      BadCommandLine{"ExtraArgument", {"-a", "IN", "-o", "LSB", "-o", "MSB", "x"}},
                      BadCommandLine{"OptionsSwapped", {"-o", "LSB", "-a", "IN", "-o", "MSB"}},
                      BadCommandLine{"UnknownOption", {"-b", "IN", "-o", "LSB", "-o", "MSB"}},
                      BadCommandLine{"EmptyName", {"-a", "IN", "-o", "", "-o", "MSB"}}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace quorvel::testing
