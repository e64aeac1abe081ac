#include <gtest/gtest.h>

#include "tests/engine/downloader_fixture.h"

namespace quorvel::testing {
namespace {

// A 43 MB preamble puts the read position beyond what position * 100 fits in 32 bits.
TEST_F(DownloaderTest, PercentageOfALargeImage) {
  sectors.resize(1);
  writeConvertedImage(sectors, std::string(43'000'000, ' '));
  construct();
  EXPECT_TRUE(run());
  EXPECT_EQ(target.percentages(), (std::vector<unsigned>{99, 100}));
}

}  // namespace
}  // namespace quorvel::testing
