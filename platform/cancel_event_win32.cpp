#include <windows.h>

#include "platform/cancel_event.h"

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

}  // namespace quorvel
