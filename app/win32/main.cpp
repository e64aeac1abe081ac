#include <windows.h>

#include <commctrl.h>

#include "app/startup.h"
#include "app/win32/win32_front_end.h"
#include "platform/timing.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  quorvel::ScopedTimingScale scale(quorvel::timeDivisorFromEnvironment());
  quorvel::win32::Win32FrontEnd frontEnd;
  quorvel::runStartup(frontEnd);
  return 0;  // nothing relies on the exit status
}
