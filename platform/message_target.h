#pragma once

#include <cstdint>

namespace quorvel {

// Window messages of a download. The numbers are those of the Windows program
// (WM_USER + 1 and WM_USER + 2), kept on every platform.
inline constexpr unsigned WM_DOWNLOAD_PROGRESS = 1025;
inline constexpr unsigned WM_DOWNLOAD_END = 1026;

// Where the download worker posts its messages. post() must never block the worker:
// the Windows program posts to its dialog with PostMessageA, the command-line front end
// stores the value for its display thread.
class MessageTarget {
 public:
  virtual ~MessageTarget() = default;
  virtual void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

}  // namespace quorvel
