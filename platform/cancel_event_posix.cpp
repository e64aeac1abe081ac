#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "platform/cancel_event.h"
#include "platform/timing.h"

namespace quorvel {
namespace {

using Clock = std::chrono::steady_clock;

// Without its pipe (no descriptor left) a wait still ends soon after a signal: it sleeps in
// slices of this length and looks at the flag between them.
constexpr std::uint32_t kFallbackSliceMs = 20;

int remainingMs(Clock::time_point end) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

}  // namespace

// The flag is an atomic byte and the wake a write() of one byte: both lock-free and
// async-signal-safe, so signal() may run inside a signal handler. The byte is never read
// back: the pipe stays readable, like the event stays signalled.
CancelEvent::CancelEvent() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
  }
}

CancelEvent::~CancelEvent() {
  if (wakeRead_ >= 0) ::close(wakeRead_);
  if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

bool CancelEvent::valid() const {
  return true;
}

void CancelEvent::signal() {
  if (__atomic_exchange_n(&flag_, std::uint8_t{1}, __ATOMIC_SEQ_CST) != 0) return;
  if (wakeWrite_ < 0) return;
  const int savedErrno = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(wakeWrite_, &byte, 1);
  errno = savedErrno;
}

bool CancelEvent::isSignalled() const {
  return __atomic_load_n(&flag_, __ATOMIC_SEQ_CST) != 0;
}

std::intptr_t CancelEvent::waitHandle() const {
  return wakeRead_;
}

bool CancelEvent::waitFor(std::uint32_t ms) const {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
  for (int left = remainingMs(end); !isSignalled(); left = remainingMs(end)) {
    if (left == 0) return false;
    if (wakeRead_ < 0) {
      sleepMs(std::min<std::uint32_t>(static_cast<std::uint32_t>(left), kFallbackSliceMs));
      continue;
    }
    pollfd wake{wakeRead_, POLLIN, 0};
    ::poll(&wake, 1, left);  // EINTR or a wake: the loop looks again
  }
  return true;
}

}  // namespace quorvel
