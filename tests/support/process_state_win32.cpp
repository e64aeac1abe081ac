#include <windows.h>

#include "tests/support/process_state.h"

namespace quorvel::testing {

constexpr DWORD kEndWaitMs = 3000;

long currentProcessId() {
  return static_cast<long>(GetCurrentProcessId());
}

bool processEnded(long pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return true;  // no such process any more
  const bool ended = WaitForSingleObject(process, kEndWaitMs) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

}  // namespace quorvel::testing
