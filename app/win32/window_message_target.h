#pragma once

#include <windows.h>

#include "platform/message_target.h"

namespace quorvel::win32 {

// Delivers the download worker's messages to a window with PostMessageA, so the worker
// never waits for the dialog thread.
class WindowMessageTarget final : public MessageTarget {
 public:
  explicit WindowMessageTarget(HWND window) : window_(window) {}
  void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
    PostMessageA(window_, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
  }

 private:
  HWND window_;
};

}  // namespace quorvel::win32
