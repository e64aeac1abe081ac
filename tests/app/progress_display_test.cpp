#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "app/cli/progress_display.h"
#include "tests/app/captured_output.h"

namespace quorvel::cli {
namespace {

// Appends only: GCC 12 at -O3 warns falsely about `"x" + std::string` (-Wrestrict).
std::string concat(std::initializer_list<std::string> parts) {
  std::string text;
  for (const std::string& part : parts) text += part;
  return text;
}

TEST(ProgressDisplay, StyleFollowsWhereStandardErrorGoes) {
  EXPECT_EQ(chooseProgressStyle(false, false), ProgressStyle::PlainLines);
  EXPECT_EQ(chooseProgressStyle(false, true), ProgressStyle::PlainLines);
  EXPECT_EQ(chooseProgressStyle(true, false), ProgressStyle::InPlaceBar);
  EXPECT_EQ(chooseProgressStyle(true, true), ProgressStyle::BarLines);
}

TEST(ProgressDisplay, FormatsBarAndPlainLine) {
  EXPECT_EQ(formatProgress(37, ProgressStyle::PlainLines), "Progress: 37 %");
  std::string empty = formatProgress(0, ProgressStyle::InPlaceBar);
  std::string half = formatProgress(50, ProgressStyle::InPlaceBar);
  std::string full = formatProgress(100, ProgressStyle::BarLines);
  EXPECT_EQ(empty, concat({"[", std::string(40, '.'), "]   0 %"}));
  EXPECT_EQ(half, concat({"[", std::string(20, '#'), std::string(20, '.'), "]  50 %"}));
  EXPECT_EQ(full, concat({"[", std::string(40, '#'), "] 100 %"}));
  // Redrawn in place, every rendering must cover the previous one.
  EXPECT_EQ(empty.size(), full.size());
  EXPECT_EQ(formatProgress(250, ProgressStyle::PlainLines), "Progress: 100 %");
}

std::string render(ProgressStyle style, std::initializer_list<unsigned> steps) {
  return capturedOutput([&](std::FILE* file) {
    ProgressDisplay display(file, style);
    for (unsigned step : steps) display.show(step);
  });
}

TEST(ProgressDisplay, WritesOnlyChanges) {
  EXPECT_EQ(render(ProgressStyle::PlainLines, {5, 5, 40, 100, 100}),
            "Progress: 5 %\nProgress: 40 %\nProgress: 100 %\n");
  std::string bar = render(ProgressStyle::InPlaceBar, {5, 5, 100});
  EXPECT_EQ(bar, concat({"\r", formatProgress(5, ProgressStyle::InPlaceBar), "\r",
                         formatProgress(100, ProgressStyle::InPlaceBar), "\n"}));
  EXPECT_EQ(render(ProgressStyle::InPlaceBar, {}), "");  // no bar, no stray line end
}

int gWakes = 0;
void countWake() {
  ++gWakes;
}

TEST(ProgressChannel, KeepsTheLatestStateAndWakesEveryTime) {
  gWakes = 0;
  ProgressChannel channel(countWake);
  EXPECT_EQ(channel.snapshot().percent, -1);
  channel.post(WM_DOWNLOAD_PROGRESS, 12, 0);
  channel.post(WM_DOWNLOAD_PROGRESS, 47, 0);
  EXPECT_EQ(channel.snapshot().percent, 47);
  EXPECT_FALSE(channel.snapshot().ended);
  channel.post(WM_DOWNLOAD_END, 0, 0);
  ProgressChannel::Snapshot end = channel.snapshot();
  EXPECT_TRUE(end.ended);
  EXPECT_FALSE(end.succeeded);
  EXPECT_EQ(gWakes, 3);
}

// The display thread must see the final percentage whenever it sees the end.
TEST(ProgressChannel, EndIsNeverSeenBeforeTheLastPercentage) {
  for (int round = 0; round < 100; ++round) {
    ProgressChannel channel(nullptr);
    std::thread worker([&channel] {
      for (unsigned percent = 0; percent <= 100; percent += 10) {
        channel.post(WM_DOWNLOAD_PROGRESS, percent, 0);
      }
      channel.post(WM_DOWNLOAD_END, 1, 0);
    });
    ProgressChannel::Snapshot state;
    do {
      state = channel.snapshot();
    } while (!state.ended);
    worker.join();
    ASSERT_EQ(state.percent, 100);
    ASSERT_TRUE(state.succeeded);
  }
}

}  // namespace
}  // namespace quorvel::cli
