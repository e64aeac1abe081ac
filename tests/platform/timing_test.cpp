#include "platform/timing.h"

#include <gtest/gtest.h>

#include <chrono>

namespace quorvel {
namespace {

TEST(Timing, ScaleDividesPausesKeepsAtLeastOneMsAndRestores) {
  {
    ScopedTimingScale fast(600);
    EXPECT_EQ(timing().loaderEntryPauseMs, 3u);
    EXPECT_EQ(timing().answerReadTimeoutMs, 1u);
    EXPECT_EQ(timing().retryPauseMs, 1u);            // 500 / 600 would be 0
    EXPECT_EQ(timing().writeTimeoutPerByteMs, 30u);  // a safety limit, not a pause
    ScopedTimingScale zero(0);                       // treated as 1
    EXPECT_EQ(timing().loaderEntryPauseMs, 3u);
  }
  EXPECT_EQ(timing().loaderEntryPauseMs, 2000u);
  EXPECT_EQ(timing().retryPauseMs, 500u);
}

TEST(Timing, SleepBlocksAtLeastTheGivenTime) {
  const auto start = std::chrono::steady_clock::now();
  sleepMs(30);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

}  // namespace
}  // namespace quorvel
