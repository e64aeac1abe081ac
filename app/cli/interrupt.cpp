#include "app/cli/interrupt.h"

#include <array>
#include <atomic>
#include <thread>

#include "app/cli/cli_options.h"
#include "app/cli/console.h"
#include "image/image_conversion.h"
#include "platform/cancel_event.h"

namespace quorvel::cli {
namespace {

static_assert(std::atomic<CancelEvent*>::is_always_lock_free,
              "the signal handler reads the cancel target");
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler writes it");
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler reads it");

// One slot per running transfer: several instruments may be upgraded at once.
constexpr std::size_t kCancelTargets = kMaxPorts;

std::atomic<int> gSignal{0};
std::array<std::atomic<CancelEvent*>, kCancelTargets> gCancelTargets{};
// A handler signals a cancel target only inside; a target withdrawn waits for it to leave.
constinit HandlerGate gTargetsGate{true};

}  // namespace

bool HandlerGate::enter() {
  inside_.fetch_add(1);
  if (open_.load()) return true;
  inside_.fetch_sub(1);
  return false;
}

void HandlerGate::leave() {
  inside_.fetch_sub(1);
}

void HandlerGate::shut() {
  open_.store(false);
  drain();
}

// Sequentially consistent: a handler that read the gate open before it was shut, or a target
// before it was withdrawn, counts as inside here.
void HandlerGate::drain() const {
  while (inside_.load() != 0) std::this_thread::yield();
}

void recordInterrupt(int signalNumber) {
  int none = 0;
  gSignal.compare_exchange_strong(none, signalNumber);
  // A converter that hangs must never hold the program: it is ended at once.
  requestConverterStop();
  if (!gTargetsGate.enter()) return;
  for (std::atomic<CancelEvent*>& target : gCancelTargets) {
    if (CancelEvent* event = target.load()) event->signal();
  }
  gTargetsGate.leave();
}

int interruptSignal() {
  return gSignal;
}

CancelOnInterrupt::CancelOnInterrupt(CancelEvent& event) {
  for (std::atomic<CancelEvent*>& target : gCancelTargets) {
    CancelEvent* free = nullptr;
    if (target.compare_exchange_strong(free, &event)) {
      slot_ = &target;
      break;
    }
  }
  // Checked after registering: an interrupt in between signals the event itself.
  if (gSignal != 0) event.signal();
}

// A handler that took the event from its slot before it was emptied may still signal it:
// waited for, since the event goes next.
CancelOnInterrupt::~CancelOnInterrupt() {
  if (slot_ == nullptr) return;
  slot_->store(nullptr);
  gTargetsGate.drain();
}

}  // namespace quorvel::cli
