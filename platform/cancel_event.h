#pragma once

#include <cstdint>

namespace quorvel {

// A manual-reset event used only to cancel a running download: once signalled it stays
// signalled for the rest of its life. Polling it never blocks; waitFor() blocks until it is
// signalled or the time is up, and returns at once when it is signalled meanwhile. Windows
// uses a kernel event; elsewhere an atomic flag with a pipe that wakes the waits.
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
  // Waits up to `ms` milliseconds; true as soon as the event is signalled. Never spins.
  bool waitFor(std::uint32_t ms) const;
  // What a wait of another kind can watch besides its own descriptors or handles: on POSIX
  // the read end of the wake pipe, readable once the event is signalled (-1 when it has
  // none); on Windows the event HANDLE.
  std::intptr_t waitHandle() const;

 private:
  [[maybe_unused]] std::intptr_t handle_ = 0;  // HANDLE on Windows
  [[maybe_unused]] int wakeRead_ = -1;         // POSIX: the pipe written when signalled
  [[maybe_unused]] int wakeWrite_ = -1;
  volatile std::uint8_t flag_ = 0;
};

}  // namespace quorvel
