#include "app/cli/interrupt.h"

#include <atomic>

#include "app/cli/console.h"
#include "image/image_conversion.h"
#include "platform/cancel_event.h"

namespace quorvel::cli {
namespace {

static_assert(std::atomic<CancelEvent*>::is_always_lock_free,
              "the signal handler reads the cancel target");
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler writes it");

std::atomic<int> gSignal{0};
std::atomic<CancelEvent*> gCancelTarget{nullptr};

}  // namespace

void recordInterrupt(int signalNumber) {
  int none = 0;
  gSignal.compare_exchange_strong(none, signalNumber);
  // A converter that hangs must never hold the program: it is ended at once.
  requestConverterStop();
  if (CancelEvent* event = gCancelTarget.load()) event->signal();
}

int interruptSignal() {
  return gSignal;
}

CancelOnInterrupt::CancelOnInterrupt(CancelEvent& event) {
  gCancelTarget.store(&event);
  if (gSignal != 0) event.signal();
}

CancelOnInterrupt::~CancelOnInterrupt() {
  gCancelTarget.store(nullptr);
}

}  // namespace quorvel::cli
