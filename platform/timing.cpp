#include "platform/timing.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace quorvel {
namespace {

TimingTable& table() {
  static TimingTable current;
  return current;
}

uint32_t scaled(uint32_t value, uint32_t divisor) {
  if (value == 0) return 0;
  uint32_t result = value / divisor;
  return result == 0 ? 1 : result;
}

}  // namespace

const TimingTable& timing() {
  return table();
}

ScopedTimingScale::ScopedTimingScale(uint32_t divisor) : saved_(table()) {
  if (divisor == 0) divisor = 1;
  TimingTable& t = table();
  t.afterLoaderEntryMs = scaled(t.afterLoaderEntryMs, divisor);
  t.loaderEntryPauseMs = scaled(t.loaderEntryPauseMs, divisor);
  t.modbusReadTimeoutMs = scaled(t.modbusReadTimeoutMs, divisor);
  t.answerReadTimeoutMs = scaled(t.answerReadTimeoutMs, divisor);
  t.retryPauseMs = scaled(t.retryPauseMs, divisor);
  t.splashMs = scaled(t.splashMs, divisor);
  t.linkAnimationMs = scaled(t.linkAnimationMs, divisor);
  // The write budget per byte is a safety limit, not a pause: it stays as it is.
}

ScopedTimingScale::~ScopedTimingScale() {
  table() = saved_;
}

std::uint32_t timeDivisorFromEnvironment() {
  constexpr unsigned long kMaxTimeDivisor = 1000000;
  const char* text = std::getenv("QUORVEL_TIME_DIVISOR");
  if (text == nullptr || *text == '\0') return 1;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value == 0 || value > kMaxTimeDivisor) return 1;
  return static_cast<std::uint32_t>(value);
}

void sleepMs(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace quorvel
