#include <windows.h>

#include "platform/cancel_event.h"
#include "platform/timing.h"

namespace quorvel {

CancelEvent::CancelEvent()
    : handle_(reinterpret_cast<std::intptr_t>(CreateEventA(nullptr, TRUE, FALSE, nullptr))) {}

CancelEvent::~CancelEvent() {
  if (handle_ != 0) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool CancelEvent::valid() const {
  return handle_ != 0;
}

void CancelEvent::signal() {
  if (handle_ != 0) SetEvent(reinterpret_cast<HANDLE>(handle_));
}

bool CancelEvent::isSignalled() const {
  if (handle_ == 0) return false;
  return WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), 0) == WAIT_OBJECT_0;
}

std::intptr_t CancelEvent::waitHandle() const {
  return handle_;
}

// An event that could not be created never reports a cancel: the wait is a plain pause.
bool CancelEvent::waitFor(std::uint32_t ms) const {
  if (handle_ == 0) {
    sleepMs(ms);
    return false;
  }
  return WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), ms) == WAIT_OBJECT_0;
}

}  // namespace quorvel
