#include "platform/cancel_event.h"

#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
}  // namespace quorvel
