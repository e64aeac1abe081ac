#include "platform/cancel_event.h"

namespace quorvel {

// Atomic builtins on one byte: lock-free, so signal() is safe inside a signal handler.
CancelEvent::CancelEvent() = default;
CancelEvent::~CancelEvent() = default;

bool CancelEvent::valid() const {
  return true;
}

void CancelEvent::signal() {
  __atomic_store_n(&flag_, std::uint8_t{1}, __ATOMIC_SEQ_CST);
}

bool CancelEvent::isSignalled() const {
  return __atomic_load_n(&flag_, __ATOMIC_SEQ_CST) != 0;
}

}  // namespace quorvel
