#include "platform/timing.h"

#include <chrono>
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
  t.converterStopGraceMs = scaled(t.converterStopGraceMs, divisor);
  t.quietAfterGoMs = scaled(t.quietAfterGoMs, divisor);
  t.restartReadTimeoutMs = scaled(t.restartReadTimeoutMs, divisor);
  t.restartReopenPauseMs = scaled(t.restartReopenPauseMs, divisor);
  t.restartLimitSecondMs = scaled(t.restartLimitSecondMs, divisor);
  t.recordLockWaitMs = scaled(t.recordLockWaitMs, divisor);
  // The write budget per byte and the network limits are safety limits, not pauses, and the
  // cancel check is a granularity: they stay as they are.
}

ScopedTimingScale::~ScopedTimingScale() {
  table() = saved_;
}

void sleepMs(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace quorvel
