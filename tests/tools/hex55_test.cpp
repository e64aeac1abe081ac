// The built converter, run as a program, with the project's SectorReader reading its output.
#include <gtest/gtest.h>

#include "tests/tools/hex55_test_support.h"

namespace quorvel::testing {
namespace {

class Hex55Test : public Hex55Fixture {
 protected:
  void convertOk(const std::string& contents) {
    writeFile(input, contents);
    convertInput();
  }
  void convertOk(const Bytes& contents) {
    writeFile(input, contents);
    convertInput();
  }
  void convertInput() {
    const Hex55Run result = convert();
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output, "");
  }
};

TEST_F(Hex55Test, TinyImageGivesExactFilesAndTheReadersFrame) {
  // Bytes 12 AB 34 CD at byte address 0x2000: words 0xAB12, 0xCD34 at word address 0x1000.
  convertOk(hexRecord(0x00, 0x2000, {0x12, 0xAB, 0x34, 0xCD}) + "\r\n" + kEndRecord + "\r\n");

  EXPECT_EQ(readFile(lsb), "\x02\r\n$A1000,\r\n12 34 \r\n\x03\r\n");
  EXPECT_EQ(readFile(msb), "\x02\r\n$A1000,\r\nAB CD \r\n\x03\r\n");
  std::uint16_t compatibility = 0;
  EXPECT_EQ(readSectors(lsb, msb, &compatibility),
            (std::vector<WordBlock>{{0x1000, {0xAB12, 0xCD34}}}));
  EXPECT_EQ(compatibility, 0xAB12);
  EXPECT_FALSE(fileExists(lsb + ".partial"));
  EXPECT_FALSE(fileExists(msb + ".partial"));
}

TEST_F(Hex55Test, LinesHoldSixteenBytesAndAddressesAtLeastFourDigits) {
  Bytes bytes;
  for (std::uint8_t low = 0; low < 17; ++low) bytes.insert(bytes.end(), {low, 0xA5});
  convertOk(hexData(0x20, bytes) + kEndRecord);
  EXPECT_EQ(
      readFile(lsb),
      "\x02\r\n$A0010,\r\n00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \r\n10 \r\n\x03\r\n");
}

TEST_F(Hex55Test, IntelHexRoundTripWithEveryAddressingRecord) {
  const auto low = patternWords(40, 0x1111);
  const auto segment = patternWords(8, 0x2222);
  const auto high = patternWords(24, 0x3333);
  std::string text = "\r\n";
  text += hexData(0x0000'0100, bytesOf(low));
  // Segment base 0x1000 << 4 = 0x10000; in lower case, with a start record and a blank line.
  std::string segmentBase = hexRecord(0x02, 0, {0x10, 0x00});
  for (char& c : segmentBase) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  text += segmentBase + "\n\n";
  text += hexRecord(0x00, 0x0040, bytesOf(segment)) + "\n";
  text += hexRecord(0x03, 0, {0x00, 0x00, 0x12, 0x34}) + "\n";
  text += hexData(0x0123'4000, bytesOf(high));
  text += hexRecord(0x05, 0, {0x01, 0x23, 0x40, 0x00}) + "\r\n";
  text += kEndRecord + "\r\n";
  convertOk(text);

  EXPECT_EQ(readSectors(lsb, msb),
            (std::vector<WordBlock>{{0x80, low}, {0x8020, segment}, {0x91A000, high}}));
}

TEST_F(Hex55Test, SegmentAddressedRecordWrapsWithinItsSegment) {
  // Four bytes at offset 0xFFFE under segment base 0x10000: two at 0x1FFFE, two at 0x10000.
  convertOk(hexRecord(0x02, 0, {0x10, 0x00}) + "\n" +
            hexRecord(0x00, 0xFFFE, {0x01, 0x02, 0x03, 0x04}) + "\n" + kEndRecord);
  EXPECT_EQ(readSectors(lsb, msb),
            (std::vector<WordBlock>{{0x8000, {0x0403}}, {0xFFFF, {0x0201}}}));
}

struct PaddingCase {
  const char* name;
  std::vector<std::pair<std::uint16_t, Bytes>> records;  // byte offset, data
  std::vector<WordBlock> sectors;
};

class Hex55PaddingTest : public Hex55Test, public ::testing::WithParamInterface<PaddingCase> {};

TEST_P(Hex55PaddingTest, OddEdgesArePaddedWithFF) {
  std::string text;
  for (const auto& [offset, data] : GetParam().records) text += hexRecord(0, offset, data) + "\n";
  convertOk(text + kEndRecord);
  EXPECT_EQ(readSectors(lsb, msb), GetParam().sectors);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, Hex55PaddingTest,
    ::testing::Values(
        PaddingCase{"OddStart", {{0x101, {0xB0, 0xB1, 0xB2}}}, {{0x80, {0xB0FF, 0xB2B1}}}},
        PaddingCase{"OddEnd", {{0x100, {0xB0, 0xB1, 0xB2}}}, {{0x80, {0xB1B0, 0xFFB2}}}},
        PaddingCase{"OddStartAndEnd", {{0x101, {0xB0}}}, {{0x80, {0xB0FF}}}},
        PaddingCase{"SingleByteAtEvenAddress", {{0x100, {0xB0}}}, {{0x80, {0xFFB0}}}},
        // One missing byte inside a word: padded, and the words stay one run.
        PaddingCase{"OneByteHoleJoinsRuns",
                    {{0x100, {0xA0, 0xA1, 0xA2}}, {0x104, {0xC0, 0xC1}}},
                    {{0x80, {0xA1A0, 0xFFA2, 0xC1C0}}}},
        // Records out of order still join where they touch.
        PaddingCase{"TouchingRecordsInReverseOrder",
                    {{0x102, {0xC0, 0xC1}}, {0x100, {0xA0, 0xA1}}},
                    {{0x80, {0xA1A0, 0xC1C0}}}},
        PaddingCase{"WholeWordGapSplitsSectors",
                    {{0x100, {0xA0, 0xA1}}, {0x104, {0xC0, 0xC1}}},
                    {{0x80, {0xA1A0}}, {0x82, {0xC1C0}}}}),
    [](const auto& test) { return std::string(test.param.name); });

class Hex55SectorSplitTest : public Hex55Test, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(Hex55SectorSplitTest, RunsAreCutIntoSectorsOf4096Words) {
  const std::vector<WordBlock> blocks{{0x4000, patternWords(GetParam(), 0x0102)}};
  convertOk(hexData(0x8000, bytesOf(blocks[0].words)) + kEndRecord);
  const auto sectors = readSectors(lsb, msb);
  EXPECT_EQ(sectors.size(), (GetParam() + 4095) / 4096);
  EXPECT_EQ(sectors, expectedSectors(blocks));
}

INSTANTIATE_TEST_SUITE_P(Sizes, Hex55SectorSplitTest, ::testing::Values(4095, 4096, 4097, 10000));

class Hex55ElfTest : public Hex55Test, public ::testing::WithParamInterface<bool> {};

TEST_P(Hex55ElfTest, LoadSegmentsRoundTripAtTheirPhysicalAddress) {
  const bool is64 = GetParam();
  const auto text = patternWords(5000, 0xA000);
  const auto data = patternWords(3, 0x5000);
  const Bytes odd{0x11, 0x22, 0x33};
  const std::vector<ElfSegment> segments{
      {1, 0x2000, bytesOf(text), 0},
      {4, 0x3000, {0xEE, 0xEE}, 0},  // PT_NOTE: not part of the image
      {1, 0x9000, {}, 0x400},        // .bss: no file bytes, nothing to load
      {1, 0x10000, bytesOf(data), 0x100},
      {1, 0x20001, odd, 0},
  };
  convertOk(buildElf(is64, segments));

  // The odd segment starts on the high byte of word 0x10000: its low byte is padding.
  const std::vector<WordBlock> blocks{{0x1000, text}, {0x8000, data}, {0x10000, {0x11FF, 0x3322}}};
  EXPECT_EQ(readSectors(lsb, msb), expectedSectors(blocks));
}

INSTANTIATE_TEST_SUITE_P(Classes, Hex55ElfTest, ::testing::Values(false, true),
                         [](const auto& test) {
                           return std::string(test.param ? "Elf64" : "Elf32");
                         });

TEST_F(Hex55Test, ReplacesOutputsOfAnEarlierRun) {
  writeFile(lsb, "old low bytes");
  writeFile(msb, "old high bytes");
  convertOk(hexRecord(0x00, 0x0000, {0x01, 0x02}) + "\n" + kEndRecord);
  EXPECT_EQ(readSectors(lsb, msb), (std::vector<WordBlock>{{0, {0x0201}}}));
}

}  // namespace
}  // namespace quorvel::testing
