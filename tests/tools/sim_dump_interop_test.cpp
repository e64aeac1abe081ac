// The simulator's dump must read back, byte for byte, with the converter's Intel HEX parser:
// demo scripts compare images through it.
#include <gtest/gtest.h>

#include "tools/hex55/intel_hex.h"
#include "tools/hex55/sparse_image.h"
#include "tools/quorvel-sim/word_image.h"

namespace quorvel::sim {
namespace {

TEST(SimDumpInterop, ConverterReadsBackWhatTheSimulatorDumped) {
  WordImage image;
  std::vector<std::uint16_t> words(40000);
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(i * 7);
  image.write(0x7000, words);  // crosses a 64 KiB byte boundary
  image.write(0x7FFFFFFF, std::vector<std::uint16_t>{0xBEEF});
  const auto hex = toIntelHex(image);
  ASSERT_TRUE(hex);

  hex55::SparseImage parsed;
  std::string error;
  ASSERT_TRUE(hex55::parseIntelHex(*hex, parsed, error)) << error;
  const std::vector<hex55::ByteRun> runs = parsed.finish();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].start, 0x7000u * 2);
  ASSERT_EQ(runs[0].bytes.size(), words.size() * 2);
  for (std::size_t i = 0; i < words.size(); ++i) {
    ASSERT_EQ(runs[0].bytes[2 * i], words[i] & 0xFF) << i;
    ASSERT_EQ(runs[0].bytes[2 * i + 1], words[i] >> 8) << i;
  }
  EXPECT_EQ(runs[1].start, 0xFFFFFFFEu);
  EXPECT_EQ(runs[1].bytes, (std::vector<std::uint8_t>{0xEF, 0xBE}));
}

}  // namespace
}  // namespace quorvel::sim
