// The way interrupt handlers reach what the main thread tears down: a handler inside holds the
// teardown up until it has left, and one that comes later touches nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "app/cli/interrupt.h"

namespace quorvel::cli {
namespace {

using namespace std::chrono_literals;

TEST(HandlerGate, ShuttingWaitsForTheHandlerInsideAndKeepsLaterOnesOut) {
  HandlerGate gate;
  EXPECT_FALSE(gate.enter()) << "shut until opened";
  gate.open();
  std::promise<void> entered;
  std::promise<void> mayLeave;
  std::thread handler([&] {
    ASSERT_TRUE(gate.enter());
    entered.set_value();
    mayLeave.get_future().wait();
    gate.leave();
  });
  entered.get_future().wait();
  std::atomic<bool> shut{false};
  std::thread owner([&] {
    gate.shut();
    shut = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(shut) << "torn down under a running handler";
  mayLeave.set_value();
  owner.join();
  handler.join();
  EXPECT_TRUE(shut);
  EXPECT_FALSE(gate.enter());
}

}  // namespace
}  // namespace quorvel::cli
