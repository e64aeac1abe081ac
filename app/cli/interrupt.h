#pragma once

#include <atomic>

namespace quorvel::cli {

// Records the first interrupt (a signal number), stops a running converter and signals the
// cancel event of the download in progress, if any. Lock-free: called from a signal handler on
// POSIX and from the console control thread on Windows.
void recordInterrupt(int signalNumber);

// How an interrupt handler (a signal handler, or the console's control thread on Windows)
// reaches what the main thread owns and tears down: the handler touches it only between a
// successful enter() and its leave(); the owner shuts the gate before it lets anything go,
// and shutting waits until every handler inside has left. A handler that comes later finds
// the gate shut and touches nothing. Lock-free and async-signal-safe.
class HandlerGate {
 public:
  constexpr explicit HandlerGate(bool open = false) : open_(open) {}
  HandlerGate(const HandlerGate&) = delete;
  HandlerGate& operator=(const HandlerGate&) = delete;

  // The handler's side.
  bool enter();
  void leave();
  // The owner's side. shut() must not be called from a handler.
  void open() { open_.store(true); }
  void shut();
  // Waits until no handler is inside, the gate staying open (for what can be withdrawn one
  // piece at a time, such as a cancel target).
  void drain() const;

 private:
  std::atomic<bool> open_;
  std::atomic<int> inside_{0};
};

}  // namespace quorvel::cli
