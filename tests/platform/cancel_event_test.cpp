#include "platform/cancel_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace quorvel {
namespace {

TEST(CancelEvent, StaysSignalledOnceSignalled) {
  CancelEvent event;
  ASSERT_TRUE(event.valid());
  EXPECT_FALSE(event.isSignalled());
  event.signal();
  event.signal();
  EXPECT_TRUE(event.isSignalled());
  EXPECT_TRUE(event.isSignalled());
}

TEST(CancelEvent, SignalFromAnotherThreadIsSeenByAPollingWorker) {
  CancelEvent event;
  std::atomic<long> polls{0};
  std::thread worker([&] {
    while (!event.isSignalled()) ++polls;
  });
  while (polls.load() == 0) std::this_thread::yield();
  event.signal();
  worker.join();
  EXPECT_TRUE(event.isSignalled());
}

// A wait lasts its time unless the event is signalled; a signal from another thread ends it
// at once, long before its time, and a signalled event ends every later wait at once.
TEST(CancelEvent, WaitEndsWhenSignalledAndOtherwiseLastsItsTime) {
  using namespace std::chrono_literals;
  using Clock = std::chrono::steady_clock;
  CancelEvent event;
  auto start = Clock::now();
  EXPECT_FALSE(event.waitFor(30));
  EXPECT_GE(Clock::now() - start, 30ms);
  std::thread signaller([&] {
    std::this_thread::sleep_for(20ms);
    event.signal();
  });
  start = Clock::now();
  EXPECT_TRUE(event.waitFor(120000));
  signaller.join();
  EXPECT_TRUE(event.waitFor(120000));
  EXPECT_LT(Clock::now() - start, 60s);
}

}  // namespace
}  // namespace quorvel
