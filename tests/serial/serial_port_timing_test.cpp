#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/timing.h"
#include "serial/serial_port.h"
#include "tests/support/pty_port_test.h"

namespace quorvel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kTransferBaud = 115200;
constexpr std::uint32_t kModbusBaud = 9600;
constexpr std::uint32_t kModbusAnswerChars = 15;
constexpr std::uint32_t kSectorAnswerChars = 2;

class SerialPortTimingTest : public testing::PtyPortTest {};

long elapsedMs(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A single answer byte ends a sector answer read only when the whole time-out has passed.
TEST_F(SerialPortTimingTest, SingleAnswerByteEndsTheReadAfterTheFullTimeout) {
  openPort(kTransferBaud);
  peer.send("G");
  std::uint8_t answer[kSectorAnswerChars] = {};
  const std::uint32_t timeoutMs = timing().answerReadTimeoutMs;
  auto start = Clock::now();
  EXPECT_EQ(port.read(answer, kSectorAnswerChars, timeoutMs), 1u);
  long elapsed = elapsedMs(start);
  EXPECT_GE(elapsed, static_cast<long>(timeoutMs));
  EXPECT_LT(elapsed, static_cast<long>(timeoutMs) * 2);
  EXPECT_EQ(answer[0], 'G');
}

// The time-out counts from the start of the read: bytes that keep trickling in do not
// stretch it, and gaps between them do not cut it short.
TEST_F(SerialPortTimingTest, TimeoutCountsFromTheStartOfTheRead) {
  openPort(kModbusBaud);
  const std::uint32_t timeoutMs = timing().modbusReadTimeoutMs;
  const auto gap = std::chrono::milliseconds(timeoutMs / 5);
  std::thread instrument([&] {
    for (int i = 0; i < 8; ++i) {
      std::this_thread::sleep_for(gap);
      peer.send(":0");
    }
  });
  std::uint8_t answer[kModbusAnswerChars] = {};
  auto start = Clock::now();
  std::uint32_t got = port.read(answer, kModbusAnswerChars, timeoutMs);
  long elapsed = elapsedMs(start);
  instrument.join();
  EXPECT_GE(got, 8u);  // four pieces of two arrived within the time-out
  EXPECT_LT(got, kModbusAnswerChars);
  EXPECT_GE(elapsed, static_cast<long>(timeoutMs));
  EXPECT_LT(elapsed, static_cast<long>(timeoutMs) + static_cast<long>(gap.count()));
}

}  // namespace
}  // namespace quorvel
