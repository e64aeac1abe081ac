#include <windows.h>

#include <string>

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

long startCopyOfThisProgram(const char* argument, bool) {
  char self[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
  if (length == 0 || length >= sizeof self) return 0;
  std::string commandLine = std::string("\"") + self + "\" " + argument;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(self, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return 0;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<long>(process.dwProcessId);
}

bool enterJobOfItsOwn() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);  // kept for the rest of the process
  return job != nullptr && AssignProcessToJobObject(job, GetCurrentProcess());
}

void killProcess(long pid) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return;
  TerminateProcess(process, 1);
  CloseHandle(process);
}

}  // namespace quorvel::testing
