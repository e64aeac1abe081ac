#include <io.h>
#include <windows.h>
// After windows.h.
#include <shellapi.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/console.h"
#include "app/cli/interrupt.h"
#include "platform/utf16.h"

namespace quorvel::cli {
namespace {

// Windows ends the process once the handler of a close, log-off or shut-down event
// returns; waiting that long for the clean-up keeps the temporary files from being left.
constexpr DWORD kCloseGraceMs = 4000;
// Ctrl+C ends a console read before the handler thread has run; give it this long.
constexpr DWORD kInterruptSettleMs = 50;

// Made by the guard, closed by it once no handler can use them any more.
std::atomic<HANDLE> gWakeEvent{nullptr};      // auto-reset: one wait consumes the pending wakes
std::atomic<HANDLE> gFinishedEvent{nullptr};  // manual-reset: set when the clean-up has run
// The control handler runs on a thread of its own that the system starts for each event, at
// any time: it uses the events only inside the gate, which the guard shuts before it closes
// them. A handler that finds it shut passes the event on (the default ends the program, as
// it would without the guard).
constinit HandlerGate gHandlerGate;

BOOL WINAPI onConsoleControl(DWORD type) {
  if (!gHandlerGate.enter()) return FALSE;
  recordInterrupt(type == CTRL_C_EVENT ? SIGINT : SIGTERM);
  wakeMainThread();
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    WaitForSingleObject(gFinishedEvent.load(), kCloseGraceMs);
  }
  gHandlerGate.leave();
  return TRUE;
}

}  // namespace

InterruptGuard::InterruptGuard() {
  gWakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  gFinishedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  gHandlerGate.open();
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

// The clean-up has run: a handler that waits for it goes (and the system may end the process
// once it has returned); then no handler uses the events any more, and they go too.
InterruptGuard::~InterruptGuard() {
  if (HANDLE finished = gFinishedEvent.load()) SetEvent(finished);
  SetConsoleCtrlHandler(onConsoleControl, FALSE);
  gHandlerGate.shut();
  for (std::atomic<HANDLE>* event : {&gWakeEvent, &gFinishedEvent}) {
    if (HANDLE handle = event->exchange(nullptr)) CloseHandle(handle);
  }
}

void wakeMainThread() {
  if (HANDLE wake = gWakeEvent.load()) SetEvent(wake);
}

void waitForWake() {
  if (HANDLE wake = gWakeEvent.load()) WaitForSingleObject(wake, INFINITE);
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

void writeText(std::FILE* stream, const std::string& text) {
  std::fflush(stream);
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    const std::wstring wide = widened(text);
    DWORD written = 0;
    if (WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr)) {
      return;
    }
  }
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}

std::vector<std::string> programArguments(int, char**) {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return args;
  for (int i = 1; i < count; ++i) args.push_back(narrowed(wide[i]));
  LocalFree(wide);
  return args;
}

bool isTerminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

bool outputsShareTerminal() {
  return _isatty(_fileno(stdout)) != 0 && _isatty(_fileno(stderr)) != 0;
}

}  // namespace quorvel::cli
