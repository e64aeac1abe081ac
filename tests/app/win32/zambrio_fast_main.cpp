// ZambrioQUORVEL.exe with its timing table shortened by QUORVEL_TIME_DIVISOR, for the
// end-to-end dialog tests. A test program only: the shipped one has no such entry point.
#include <windows.h>

#include "app/win32/win32_front_end.h"
#include "platform/timing.h"
#include "tests/support/time_divisor.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  quorvel::ScopedTimingScale scale(quorvel::testing::timeDivisorFromEnvironment());
  return quorvel::win32::runDialogProgram();
}
