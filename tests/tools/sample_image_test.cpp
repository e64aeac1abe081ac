// The sample-image generator, converted by the built converter and read back by the reader.
#include <gtest/gtest.h>

#include <numeric>

#include "tests/tools/hex55_test_support.h"
#include "tools/make-sample-image/sample_image.h"

namespace quorvel::testing {
namespace {

std::vector<const char*> argv(std::initializer_list<const char*> args) {
  return args;
}

TEST(SampleImageTest, ConvertsToSectorsStartingWithTheCompatibilityWord) {
  ScratchDir dir;
  sample::SampleOptions options;
  options.words = 20000;
  options.compat = 0x0103;
  const auto runs = sample::makeSampleImage(options);
  writeFile(dir.file("quorvel.out"), sample::toIntelHex(runs));

  const Hex55Run run = runHex55(
      {"-a", dir.file("quorvel.out"), "-o", dir.file("LSB.tmp"), "-o", dir.file("MSB.tmp")},
      dir.file("output.txt"));
  ASSERT_EQ(run.exitCode, 0) << run.output;

  std::vector<WordBlock> blocks;
  for (const auto& r : runs) blocks.push_back({r.wordAddress, r.words});
  std::uint16_t compatibility = 0;
  const auto sectors = readSectors(dir.file("LSB.tmp"), dir.file("MSB.tmp"), &compatibility);
  EXPECT_EQ(compatibility, 0x0103);
  EXPECT_EQ(sectors, expectedSectors(blocks));
  EXPECT_GE(sectors.size(), 4u);
  EXPECT_EQ(std::accumulate(runs.begin(), runs.end(), std::size_t{0},
                            [](std::size_t n, const auto& r) { return n + r.words.size(); }),
            20000u);
}

TEST(SampleImageTest, SameOptionsSameImageOtherSeedOtherImage) {
  sample::SampleOptions options;
  options.words = 100;
  const std::string first = sample::toIntelHex(sample::makeSampleImage(options));
  EXPECT_EQ(first, sample::toIntelHex(sample::makeSampleImage(options)));
  options.seed = 2;
  EXPECT_NE(first, sample::toIntelHex(sample::makeSampleImage(options)));
}

TEST(SampleImageTest, TinyImagesKeepEveryWord) {
  for (std::uint32_t words : {1u, 2u, 3u}) {
    sample::SampleOptions options;
    options.words = words;
    options.compat = 0x0A0B;
    const auto runs = sample::makeSampleImage(options);
    std::size_t total = 0;
    for (const auto& r : runs) total += r.words.size();
    EXPECT_EQ(total, words);
    EXPECT_EQ(runs.front().words.front(), 0x0A0B);
  }
}

TEST(SampleImageTest, OptionsParse) {
  const auto parsed = sample::parseSampleOptions(
      argv({"--words", "300", "--compat", "0x0103", "--seed", "7", "-o", "x.hex"}));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->words, 300u);
  EXPECT_EQ(parsed->compat, 0x0103);
  EXPECT_EQ(parsed->seed, 7u);
  EXPECT_EQ(parsed->output, "x.hex");

  for (auto bad : {argv({"--words"}), argv({"--words", "0"}), argv({"--words", "-5"}),
                   argv({"--compat", "0x10000"}), argv({"--seed", "12x"}), argv({"--bogus", "1"}),
                   argv({"-o", ""})}) {
    EXPECT_FALSE(sample::parseSampleOptions(bad)) << bad[0];
  }
}

}  // namespace
}  // namespace quorvel::testing
