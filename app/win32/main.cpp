#include <windows.h>

#include <commctrl.h>

#include <cstdlib>

#include "app/startup.h"
#include "app/win32/win32_front_end.h"
#include "platform/timing.h"

namespace {

// Test hook only: QUORVEL_TIME_DIVISOR=N divides every protocol pause and time-out by N.
std::uint32_t timeDivisorFromEnvironment() {
  const char* value = std::getenv("QUORVEL_TIME_DIVISOR");
  if (value == nullptr) return 1;
  unsigned long divisor = std::strtoul(value, nullptr, 10);
  return divisor == 0 ? 1 : static_cast<std::uint32_t>(divisor);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  quorvel::ScopedTimingScale scale(timeDivisorFromEnvironment());
  quorvel::win32::Win32FrontEnd frontEnd;
  quorvel::runStartup(frontEnd);
  return 0;  // nothing relies on the exit status
}
