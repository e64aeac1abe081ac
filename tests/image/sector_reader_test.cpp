#include "image/sector_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace quorvel {
namespace {

using testing::writeFile;

using Frame = std::vector<std::uint16_t>;
using Fault = ImageValidation::Fault;

struct Sector {
  std::uint32_t address;
  std::vector<std::uint16_t> words;
};

struct ImageText {
  std::string lsb;
  std::string msb;
};

// The converter's layout: STX CR LF, "$A<address>," CR LF, "XX " sixteen a line, ETX CR LF.
ImageText converterLayout(const std::vector<Sector>& sectors) {
  ImageText text{"\x02\r\n", "\x02\r\n"};
  char buffer[32];
  for (const Sector& sector : sectors) {
    std::snprintf(buffer, sizeof buffer, "$A%04X,\r\n", static_cast<unsigned>(sector.address));
    text.lsb += buffer;
    text.msb += buffer;
    for (std::size_t i = 0; i < sector.words.size(); ++i) {
      std::snprintf(buffer, sizeof buffer, "%02X ", sector.words[i] & 0xFFu);
      text.lsb += buffer;
      std::snprintf(buffer, sizeof buffer, "%02X ", sector.words[i] >> 8);
      text.msb += buffer;
      if (i % 16 == 15 || i + 1 == sector.words.size()) {
        text.lsb += "\r\n";
        text.msb += "\r\n";
      }
    }
  }
  text.lsb += "\x03\r\n";
  text.msb += "\x03\r\n";
  return text;
}

Frame expectedFrame(std::uint32_t address, const std::vector<std::uint16_t>& words,
                    std::uint16_t compatibility) {
  Frame frame{static_cast<std::uint16_t>(address >> 16), static_cast<std::uint16_t>(address)};
  std::uint32_t sum = 0;
  for (std::uint16_t w : words) {
    frame.push_back(w);
    sum += w;
  }
  frame.push_back(static_cast<std::uint16_t>(sum));
  frame.push_back(static_cast<std::uint16_t>(sum >> 16));
  frame.push_back(compatibility);
  return frame;
}

class SectorReaderTest : public testing::ScratchDirTest {
 protected:
  // Writes both files and opens them the way the downloader does.
  void load(const std::string& lsb, const std::string& msb) {
    writeFile("LSB.tmp", lsb);
    writeFile("MSB.tmp", msb);
    ASSERT_TRUE(reader_.open());
    reader_.measureLsbLength();
    reader_.readCompatibilityWord();
  }
  void load(const ImageText& text) { load(text.lsb, text.msb); }

  // Reads with a frame buffer of exactly `words` words, so ASan sees any write past it.
  bool readInto(std::size_t words, Frame& frame) {
    auto buffer = std::make_unique<std::uint16_t[]>(words);
    std::uint32_t count = 0;
    bool ok = reader_.readSector(std::span<std::uint16_t>(buffer.get(), words), count);
    EXPECT_LE(count, words);
    frame.assign(buffer.get(), buffer.get() + std::min<std::size_t>(count, words));
    return ok;
  }

  std::vector<Frame> readAll() {
    std::vector<Frame> frames;
    Frame frame;
    while (readInto(kFrameBufferWords, frame)) {
      frames.push_back(frame);
      if (frames.size() > 1000) break;  // a reader that loops would never end
    }
    return frames;
  }

  SectorReader reader_;
};

TEST_F(SectorReaderTest, WorkedExampleGivesOneSevenWordFrame) {
  load(converterLayout({{0x1000, {0xAB12, 0xCD34}}}));
  EXPECT_EQ(reader_.compatibilityWord(), 0xAB12);
  Frame frame;
  ASSERT_TRUE(readInto(kFrameBufferWords, frame));
  EXPECT_EQ(frame, (Frame{0x0000, 0x1000, 0xAB12, 0xCD34, 0x7846, 0x0001, 0xAB12}));
  EXPECT_FALSE(readInto(kFrameBufferWords, frame));
  EXPECT_FALSE(readInto(kFrameBufferWords, frame));
  EXPECT_TRUE(reader_.validate().ok());
}

struct DecodeCase {
  const char* name;
  std::string lsb;
  std::string msb;
  std::vector<Frame> frames;
};

class SectorDecodeTest : public SectorReaderTest,
                         public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(SectorDecodeTest, ReadsTheExpectedFrames) {
  const DecodeCase& c = GetParam();
  load(c.lsb, c.msb);
  EXPECT_EQ(readAll(), c.frames);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SectorDecodeTest,
    ::testing::Values(
        DecodeCase{"PreambleIgnored",
                   "\x02 TITLE AB 12\r\n$A0010,12 ",
                   "\x02 TITLE CD 34\r\n$A0010,AB ",
                   {expectedFrame(0x10, {0xAB12}, 0xAB12)}},
        DecodeCase{"SkippedCharacterNeverExamined",
                   "$$10,01 $,20,02 $F30,03 ",
                   "$$10,00 $,20,00 $F30,00 ",
                   {expectedFrame(0x10, {1}, 1), expectedFrame(0x20, {2}, 1),
                    expectedFrame(0x30, {3}, 1)}},
        DecodeCase{"EmptyAddressIsZero", "$A,01 ", "$A,00 ", {expectedFrame(0, {1}, 1)}},
        DecodeCase{"AddressClampedAt7FFFFFFF",
                   "$A80000000,01 $AFFFFFFFFFFFFF,02 ",
                   "$A80000000,00 $AFFFFFFFFFFFFF,00 ",
                   {expectedFrame(0x7FFFFFFF, {1}, 1), expectedFrame(0x7FFFFFFF, {2}, 1)}},
        DecodeCase{"AddressLargestExact",
                   "$A7FFFFFFE,01 ",
                   "$A7FFFFFFE,00 ",
                   {expectedFrame(0x7FFFFFFE, {1}, 1)}},
        DecodeCase{"AddressOfEitherCaseStopsAtNonDigit",
                   "$Aab12,01 $A12G4,02 ",
                   "$Aab12,00 $A12G4,00 ",
                   {expectedFrame(0xAB12, {1}, 1), expectedFrame(0x12, {2}, 1)}},
        DecodeCase{"LowerCasePairsAreSeparators",
                   "$A10,12 ab 34 ",
                   "$A10,AB cd CD ",
                   {expectedFrame(0x10, {0xAB12, 0xCD34}, 0xAB12)}},
        DecodeCase{"EmptySectorHasZeroChecksum",
                   "$A10,\r\n$A20,\r\n56 ",
                   "$A10,\r\n$A20,\r\n78 ",
                   {Frame{0, 0x10, 0, 0, 0x7856}, expectedFrame(0x20, {0x7856}, 0x7856)}},
        DecodeCase{"ChecksumCarriesIntoHighWord",
                   "$A0,FF FF FF ",
                   "$A0,FF FF FF ",
                   {Frame{0, 0, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFD, 0x0002, 0xFFFF}}},
        DecodeCase{"BytesNeedNoSeparator",
                   "$A0,1234",
                   "$A0,ABCD",
                   {expectedFrame(0, {0xAB12, 0xCD34}, 0xAB12)}},
        DecodeCase{"OnlyFirstDigitTested",
                   "$A0,1x 22 ",
                   "$A0,AB 11 ",
                   {expectedFrame(0, {0xAB1, 0x1122}, 0xAB1)}},
        DecodeCase{"NoSectorAtAll", "\x02\r\n\x03\r\n", "\x02\r\n\x03\r\n", {}}),
    [](const ::testing::TestParamInfo<DecodeCase>& param) { return param.param.name; });

TEST_F(SectorReaderTest, PositionStandsAtNextSectorThenBeforeTheEnd) {
  ImageText text = converterLayout({{0x10, {1, 2}}, {0x20, {3}}});
  load(text);
  EXPECT_EQ(reader_.lsbLength(), text.lsb.size());
  EXPECT_EQ(reader_.position(), 0u);
  Frame frame;
  ASSERT_TRUE(readInto(kFrameBufferWords, frame));
  EXPECT_EQ(reader_.position(), text.lsb.find("$A0020"));
  ASSERT_TRUE(readInto(kFrameBufferWords, frame));
  EXPECT_EQ(reader_.position(), text.lsb.size() - 1);
  EXPECT_FALSE(readInto(kFrameBufferWords, frame));
}

TEST_F(SectorReaderTest, RewindYieldsTheFirstSectorAgain) {
  load(converterLayout({{0x10, {1, 2}}, {0x20, {3}}}));
  std::vector<Frame> first = readAll();
  ASSERT_EQ(first.size(), 2u);
  reader_.rewind();
  EXPECT_EQ(reader_.position(), 0u);
  EXPECT_EQ(readAll(), first);
}

TEST_F(SectorReaderTest, CompatibilityWordComesFromTheStartWhateverThePosition) {
  load(converterLayout({{0x10, {0x0103, 2}}, {0x20, {0x0505}}}));
  Frame frame;
  ASSERT_TRUE(readInto(kFrameBufferWords, frame));
  std::uint64_t before = reader_.position();
  reader_.readCompatibilityWord();
  EXPECT_EQ(reader_.compatibilityWord(), 0x0103);
  EXPECT_EQ(reader_.position(), before);
  ASSERT_TRUE(readInto(kFrameBufferWords, frame));
  EXPECT_EQ(frame, expectedFrame(0x20, {0x0505}, 0x0103));
}

TEST_F(SectorReaderTest, NoDataWordLeavesCompatibilityUnknown) {
  load("\x02$A10,\r\n\x03", "\x02$A10,\r\n\x03");
  EXPECT_EQ(reader_.compatibilityWord(), kNoCompatibilityWord);
}

TEST_F(SectorReaderTest, OpenNeedsBothFiles) {
  writeFile("LSB.tmp", "$A0,01 ");
  EXPECT_FALSE(reader_.open());
  EXPECT_EQ(reader_.validate().fault, Fault::NotOpen);
  writeFile("MSB.tmp", "$A0,00 ");
  EXPECT_TRUE(reader_.open());
  reader_.close();
  EXPECT_EQ(reader_.validate().fault, Fault::NotOpen);
  Frame frame;
  EXPECT_FALSE(readInto(kFrameBufferWords, frame));
}

// Input beyond the reader's limits: false, no write past the buffer, and no endless loop.
struct LimitCase {
  const char* name;
  std::string lsb;
  std::string msb;
  std::size_t bufferWords;
  bool firstSectorRead;
};

class SectorLimitTest : public SectorReaderTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(SectorLimitTest, StopsWithinTheBuffer) {
  const LimitCase& c = GetParam();
  load(c.lsb, c.msb);
  Frame frame;
  EXPECT_EQ(readInto(c.bufferWords, frame), c.firstSectorRead);
  for (int call = 0; call < 3; ++call) readInto(c.bufferWords, frame);
  EXPECT_FALSE(readInto(c.bufferWords, frame));
}

std::string repeated(const std::string& unit, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += unit;
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, SectorLimitTest,
    ::testing::Values(
        LimitCase{"NoCommaBeforeTheEnd", "$A1000 12 34", "$A1000 AB CD", kFrameBufferWords, false},
        LimitCase{"DollarLastCharacter", "xx$", "xx$", kFrameBufferWords, false},
        LimitCase{"AddressOf14Characters", "$A12345678901234,01 ", "$A12345678901234,00 ",
                  kFrameBufferWords, false},
        LimitCase{"AddressOf13Characters", "$A1234567890123,01 ", "$A1234567890123,00 ",
                  kFrameBufferWords, true},
        LimitCase{"SectorOfMaximumSize", "$A0," + repeated("01 ", 31995),
                  "$A0," + repeated("00 ", 31995), kFrameBufferWords, true},
        LimitCase{"SectorOverMaximumSize", "$A0," + repeated("01 ", 31996),
                  "$A0," + repeated("00 ", 31996), kFrameBufferWords, false},
        LimitCase{"SmallBufferFits", "$A0,01 02 03 ", "$A0,00 00 00 ", 8, true},
        LimitCase{"SmallBufferTooSmall", "$A0,01 02 03 04 ", "$A0,00 00 00 00 ", 8, false},
        LimitCase{"BufferBelowFrameOverhead", "$A0, ", "$A0, ", 4, false},
        LimitCase{"MsbShorter", "$A0,01 02 03 04 ", "$A0,00", kFrameBufferWords, true}),
    [](const ::testing::TestParamInfo<LimitCase>& param) { return param.param.name; });

struct FaultCase {
  const char* name;
  std::string lsb;
  std::string msb;
  Fault fault;
  std::uint64_t offset;
};

class ValidateTest : public SectorReaderTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ValidateTest, ReportsTheFirstFaultAndItsOffset) {
  const FaultCase& c = GetParam();
  load(c.lsb, c.msb);
  ImageValidation result = reader_.validate();
  EXPECT_EQ(result.fault, c.fault) << result.describe();
  EXPECT_EQ(result.offset, c.offset) << result.describe();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ValidateTest,
    ::testing::Values(
        FaultCase{"Valid", "\x02\r\n$A10,\r\n12 34 \r\n\x03\r\n",
                  "\x02\r\n$A10,\r\nAB CD \r\n\x03\r\n", Fault::None, 0},
        FaultCase{"ValidWithEmptySectorAndUpperHexPreamble", "AB$A10,$A20,12 ", "99$A10,$A20,34 ",
                  Fault::None, 0},
        FaultCase{"MissingComma", "xx$A10,12 $A1000 12", "xx$A10,12 $A1000 12", Fault::MissingComma,
                  10},
        FaultCase{"MissingCommaAtEnd", "$A10,12 $", "$A10,34 $", Fault::MissingComma, 8},
        FaultCase{"AddressTooLong", "$A12345678901234,01 ", "$A12345678901234,01 ",
                  Fault::AddressTooLong, 15},
        FaultCase{"SectorTooLarge", "$A0," + repeated("01 ", 31996),
                  "$A0," + repeated("00 ", 31996), Fault::SectorTooLarge, 4 + 3 * 31995},
        FaultCase{"DifferentLengths", "$A0,01 02 ", "$A0,01 02", Fault::FilesOutOfStep, 9},
        FaultCase{"MsbLacksDollar", "$A0,01 $A1,02 ", "$A0,01  A1,02 ", Fault::FilesOutOfStep, 7},
        FaultCase{"MsbLacksComma", "$A0,01 ", "$A0 01 ", Fault::FilesOutOfStep, 3},
        FaultCase{"MsbLacksFirstDigit", "$A0,01 02 ", "$A0,01 x2 ", Fault::FilesOutOfStep, 7},
        FaultCase{"LsbSecondDigitBad", "$A0,01 0x ", "$A0,01 00 ", Fault::BadSecondDigit, 8},
        FaultCase{"MsbSecondDigitBad", "$A0,01 02 ", "$A0,01 0g ", Fault::BadSecondDigit, 8},
        FaultCase{"CutInsideAByte", "$A0,01 0", "$A0,01 0", Fault::BadSecondDigit, 8},
        FaultCase{"NoDataWord", "\x02$A10,\r\n\x03", "\x02$A10,\r\n\x03", Fault::NoData, 9},
        FaultCase{"EmptyFiles", "", "", Fault::NoData, 0}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return param.param.name; });

// Only the first LSB.tmp digit of a byte must be upper-case; the reader takes the other three
// in either case, so the check lets them pass, both within a buffer and across its end.
TEST_F(SectorReaderTest, LowerCaseDigitsThatTheReaderTakesPassTheCheck) {
  const std::string padding(BufferedFile::kBufferBytes - 11, ' ');  // "56" across the end
  load("$A0,1a 34 " + padding + "56 ", "$A0,ab Cd " + padding + "eF ");
  const ImageValidation validation = reader_.validate();
  EXPECT_TRUE(validation.ok()) << validation.describe();
  EXPECT_EQ(validation.dataWords, 3u);
  reader_.readCompatibilityWord();
  Frame frame;
  ASSERT_TRUE(readInto(kFrameBufferWords, frame));
  EXPECT_EQ(frame, expectedFrame(0, {0xAB1A, 0xCD34, 0xEF56}, 0xAB1A));
}

TEST_F(SectorReaderTest, ValidateKeepsTheReadPosition) {
  load(converterLayout({{0x10, {1, 2}}, {0x20, {3}}}));
  Frame frame;
  ASSERT_TRUE(readInto(kFrameBufferWords, frame));
  std::uint64_t before = reader_.position();
  EXPECT_TRUE(reader_.validate().ok());
  EXPECT_EQ(reader_.position(), before);
  ASSERT_TRUE(readInto(kFrameBufferWords, frame));
  EXPECT_EQ(frame, expectedFrame(0x20, {3}, 1));
}

TEST_F(SectorReaderTest, LargeImageAcrossBufferBoundaries) {
  std::vector<Sector> sectors;
  for (std::uint32_t s = 0; s < 12; ++s) {
    Sector sector{0x1000 * s, {}};
    for (std::uint32_t i = 0; i < 4096; ++i)
      sector.words.push_back(static_cast<std::uint16_t>(s * 7919 + i * 31));
    sectors.push_back(sector);
  }
  ImageText text = converterLayout(sectors);
  ASSERT_GT(text.lsb.size(), 2 * BufferedFile::kBufferBytes);
  load(text);
  const ImageValidation validation = reader_.validate();
  EXPECT_TRUE(validation.ok());
  EXPECT_EQ(validation.sectors, sectors.size());  // counted in bulk and across the boundaries
  EXPECT_EQ(validation.dataWords, sectors.size() * 4096);
  std::vector<Frame> frames = readAll();
  ASSERT_EQ(frames.size(), sectors.size());
  for (std::size_t s = 0; s < sectors.size(); ++s) {
    EXPECT_EQ(frames[s], expectedFrame(sectors[s].address, sectors[s].words, sectors[0].words[0]))
        << "sector " << s;
  }
}

}  // namespace
}  // namespace quorvel
