#include "app/cli/interrupt.h"

#include <array>
#include <atomic>

#include "app/cli/cli_options.h"
#include "app/cli/console.h"
#include "image/image_conversion.h"
#include "platform/cancel_event.h"

namespace quorvel::cli {
namespace {

static_assert(std::atomic<CancelEvent*>::is_always_lock_free,
              "the signal handler reads the cancel target");
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler writes it");

// One slot per running transfer: several instruments may be upgraded at once.
constexpr std::size_t kCancelTargets = kMaxPorts;

std::atomic<int> gSignal{0};
std::array<std::atomic<CancelEvent*>, kCancelTargets> gCancelTargets{};

}  // namespace

void recordInterrupt(int signalNumber) {
  int none = 0;
  gSignal.compare_exchange_strong(none, signalNumber);
  // A converter that hangs must never hold the program: it is ended at once.
  requestConverterStop();
  for (std::atomic<CancelEvent*>& target : gCancelTargets) {
    if (CancelEvent* event = target.load()) event->signal();
  }
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

CancelOnInterrupt::~CancelOnInterrupt() {
  if (slot_ != nullptr) slot_->store(nullptr);
}

}  // namespace quorvel::cli
