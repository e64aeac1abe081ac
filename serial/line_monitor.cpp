#include "serial/line_monitor.h"

#include <utility>

namespace quorvel {
namespace {

thread_local LineMonitor* threadMonitor = nullptr;

}  // namespace

ScopedLineMonitor::ScopedLineMonitor(LineMonitor& monitor)
    : previous_(std::exchange(threadMonitor, &monitor)) {}

ScopedLineMonitor::~ScopedLineMonitor() {
  threadMonitor = previous_;
}

namespace detail {

void reportSent(const std::uint8_t* bytes, std::size_t count) {
  if (threadMonitor != nullptr && count > 0) threadMonitor->sent(bytes, count);
}

void reportReceived(const std::uint8_t* bytes, std::size_t count) {
  if (threadMonitor != nullptr && count > 0) threadMonitor->received(bytes, count);
}

}  // namespace detail

}  // namespace quorvel
