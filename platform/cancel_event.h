#pragma once

#include <cstdint>

namespace quorvel {

// A manual-reset event used only to cancel a running download: once signalled it stays
// signalled for the rest of its life, and polling it never blocks. Windows uses a kernel
// event; elsewhere an atomic flag with the same semantics.
class CancelEvent {
 public:
  CancelEvent();
  ~CancelEvent();
  CancelEvent(const CancelEvent&) = delete;
  CancelEvent& operator=(const CancelEvent&) = delete;

  // False when the event could not be created; such an event never reports a cancel.
  bool valid() const;
  // Safe from any thread, also from a signal handler on POSIX.
  void signal();
  // Zero-time-out poll.
  bool isSignalled() const;

 private:
  [[maybe_unused]] std::intptr_t handle_ = 0;  // HANDLE on Windows, unused elsewhere
  volatile std::uint8_t flag_ = 0;
};

}  // namespace quorvel
