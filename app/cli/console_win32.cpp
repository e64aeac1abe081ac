#include <io.h>
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>

#include "app/cli/console.h"
#include "app/cli/interrupt.h"

namespace quorvel::cli {
namespace {

// Windows ends the process once the handler of a close, log-off or shut-down event
// returns; waiting that long for the clean-up keeps the temporary files from being left.
constexpr DWORD kCloseGraceMs = 4000;
// Ctrl+C ends a console read before the handler thread has run; give it this long.
constexpr DWORD kInterruptSettleMs = 50;

HANDLE gWakeEvent = nullptr;      // auto-reset: one wait consumes the pending wakes
HANDLE gFinishedEvent = nullptr;  // manual-reset: set when the clean-up has run

BOOL WINAPI onConsoleControl(DWORD type) {
  recordInterrupt(type == CTRL_C_EVENT ? SIGINT : SIGTERM);
  wakeMainThread();
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    if (gFinishedEvent != nullptr) WaitForSingleObject(gFinishedEvent, kCloseGraceMs);
  }
  return TRUE;
}

}  // namespace

InterruptGuard::InterruptGuard() {
  gWakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  gFinishedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

InterruptGuard::~InterruptGuard() {
  if (gFinishedEvent != nullptr) SetEvent(gFinishedEvent);
  SetConsoleCtrlHandler(onConsoleControl, FALSE);
  // The events stay: a handler thread may still be waiting on them as the process ends.
}

void wakeMainThread() {
  if (gWakeEvent != nullptr) SetEvent(gWakeEvent);
}

void waitForWake() {
  if (gWakeEvent != nullptr) WaitForSingleObject(gWakeEvent, INFINITE);
}

LineStatus readLine(std::string& line) {
  line.clear();
  for (;;) {
    if (interruptSignal() != 0) return LineStatus::Interrupted;
    int c = std::fgetc(stdin);
    if (c == EOF) {
      std::clearerr(stdin);
      Sleep(kInterruptSettleMs);
      if (interruptSignal() != 0) return LineStatus::Interrupted;
      return line.empty() ? LineStatus::EndOfInput : LineStatus::Line;
    }
    if (c == '\n') return LineStatus::Line;
    if (c != '\r') line.push_back(static_cast<char>(c));
  }
}

// The console control handler records Ctrl+C as SIGINT and every other event as SIGTERM.
const char* interruptName(int signalNumber) {
  return signalNumber == SIGINT ? "Ctrl+C" : "console closed";
}

bool isTerminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

bool outputsShareTerminal() {
  return _isatty(_fileno(stdout)) != 0 && _isatty(_fileno(stderr)) != 0;
}

}  // namespace quorvel::cli
