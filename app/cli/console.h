#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace quorvel {
class CancelEvent;
}

// The terminal side of quorvel-upgrade that differs between POSIX and Windows: interrupts
// (signals / console control events), waking the main thread, reading answers from stdin.
// console_posix.cpp and console_win32.cpp implement it.
namespace quorvel::cli {

// Installs the interrupt handlers (SIGINT, SIGTERM, SIGHUP; Ctrl+C and friends on Windows)
// while it lives. A handler only records the interrupt, stops a running converter, signals
// the registered cancel event and wakes the main thread; it never ends the process, so every
// destructor (and with it the removal of the temporary files) still runs. A signal that was
// ignored when the program started (SIGHUP under nohup, SIGINT in a background job) stays
// ignored, for the converter too. Only one may exist at a time.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// The signal number of the first interrupt seen, 0 when none (Windows reports SIGINT).
int interruptSignal();
// What a user calls that interrupt, for messages: "SIGINT", "SIGTERM", "SIGHUP"; on Windows
// "Ctrl+C" and "console closed".
const char* interruptName(int signalNumber);

// While it lives, an interrupt also signals `event`; an interrupt that came before is
// passed on at once. Must be destroyed before the event is. Up to kMaxPorts may live at once.
class CancelOnInterrupt {
 public:
  explicit CancelOnInterrupt(CancelEvent& event);
  ~CancelOnInterrupt();
  CancelOnInterrupt(const CancelOnInterrupt&) = delete;
  CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;

 private:
  std::atomic<CancelEvent*>* slot_ = nullptr;  // where the event is registered
};

// Wakes the main thread from waitForWake(). Never blocks; safe from a signal handler.
void wakeMainThread();
// Blocks until wakeMainThread() has been called since the last return (no busy wait).
void waitForWake();

enum class LineStatus { Line, EndOfInput, Interrupted };
// Reads one line from standard input without its line end; gives up on an interrupt.
LineStatus readLine(std::string& line);

// Writes UTF-8 `text` to `stream` at once: on a Windows console as wide characters, so that
// names outside the console's code page show as they are; elsewhere as it is.
void writeText(std::FILE* stream, const std::string& text);

// Messages for the user go to standard error, at once (standard output carries the traces).
inline void say(const std::string& text) {
  writeText(stderr, text);
}

// The program's arguments after its name, as UTF-8: on Windows taken from the wide command
// line (argv holds them in the system's code page, where names outside it are lost).
std::vector<std::string> programArguments(int argc, char** argv);

bool isTerminal(std::FILE* stream);
// True when standard output and standard error are the same terminal, so traces and the
// progress bar share its lines.
bool outputsShareTerminal();

}  // namespace quorvel::cli
