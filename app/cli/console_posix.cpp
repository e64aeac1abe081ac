#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>

#include "app/cli/console.h"
#include "app/cli/interrupt.h"

namespace quorvel::cli {
namespace {

constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = static_cast<int>(std::size(kInterruptSignals));

// Self-pipe: the handler and the worker write a byte, the main thread polls the read end.
// Both ends are non-blocking so a full pipe never stalls a writer (one pending byte is
// enough to wake the reader).
std::atomic<int> gWakeReadFd{-1};
std::atomic<int> gWakeWriteFd{-1};
// The handlers reach the pipe only through it: the guard shuts it before closing the pipe.
constinit HandlerGate gHandlerGate;

struct SavedAction {
  int signalNumber = 0;
  bool replaced = false;  // false: ignored at start, and left so
  struct sigaction action {};
};
SavedAction gSaved[kSignalCount + 1];  // the interrupts, then SIGPIPE

void onInterrupt(int signo) {
  int savedErrno = errno;
  if (gHandlerGate.enter()) {
    recordInterrupt(signo);
    wakeMainThread();
    gHandlerGate.leave();
  }
  errno = savedErrno;
}

// A reader of the traces that went away must not kill us before the temporary files are
// removed: the write fails with EPIPE instead. Caught rather than ignored, so that the
// converter starts with the default, as exec resets what is caught but keeps what is ignored.
void onBrokenPipe(int) {}

// Installs `handler` for `signalNumber` unless the signal is ignored (then it stays so).
void replaceUnlessIgnored(SavedAction& saved, int signalNumber, void (*handler)(int)) {
  saved.signalNumber = signalNumber;
  ::sigaction(signalNumber, nullptr, &saved.action);
  saved.replaced = saved.action.sa_handler != SIG_IGN;
  if (!saved.replaced) return;
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // SA_RESTART keeps the converter's wait and the serial calls going; no SA_RESETHAND, so a
  // second Ctrl+C lands here again instead of killing the process before its clean-up.
  action.sa_flags = SA_RESTART;
  ::sigaction(signalNumber, &action, nullptr);
}

void drainWakePipe() {
  char buffer[64];
  while (::read(gWakeReadFd, buffer, sizeof buffer) > 0) {
  }
}

// Waits for standard input or a wake; true when standard input is readable (or closed).
bool waitForInputOrWake() {
  pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {gWakeReadFd, POLLIN, 0}};
  nfds_t count = gWakeReadFd >= 0 ? 2 : 1;
  for (;;) {
    int ready = ::poll(fds, count, -1);
    if (ready < 0 && errno == EINTR) return false;
    if (ready < 0) return true;  // let read() report the problem
    if (count == 2 && fds[1].revents != 0) {
      drainWakePipe();
      return false;
    }
    if (fds[0].revents != 0) return true;
  }
}

}  // namespace

InterruptGuard::InterruptGuard() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    gWakeReadFd = fds[0];
    gWakeWriteFd = fds[1];
  }
  gHandlerGate.open();
  for (int i = 0; i < kSignalCount; ++i) {
    replaceUnlessIgnored(gSaved[i], kInterruptSignals[i], onInterrupt);
  }
  replaceUnlessIgnored(gSaved[kSignalCount], SIGPIPE, onBrokenPipe);
}

InterruptGuard::~InterruptGuard() {
  for (const SavedAction& saved : gSaved) {
    if (saved.replaced) ::sigaction(saved.signalNumber, &saved.action, nullptr);
  }
  gHandlerGate.shut();  // a handler still running on another thread leaves the pipe first
  int readFd = gWakeReadFd.exchange(-1);
  int writeFd = gWakeWriteFd.exchange(-1);
  if (readFd >= 0) ::close(readFd);
  if (writeFd >= 0) ::close(writeFd);
}

void wakeMainThread() {
  int fd = gWakeWriteFd;
  if (fd < 0) return;
  char byte = 1;
  ssize_t written = ::write(fd, &byte, 1);
  (void)written;  // a full pipe already holds a pending wake
}

void waitForWake() {
  if (gWakeReadFd < 0) return;
  pollfd fd{gWakeReadFd, POLLIN, 0};
  while (::poll(&fd, 1, -1) < 0 && errno == EINTR) {
  }
  drainWakePipe();
}

LineStatus readLine(std::string& line) {
  line.clear();
  for (;;) {
    if (interruptSignal() != 0) return LineStatus::Interrupted;
    if (!waitForInputOrWake()) continue;
    char c = 0;
    ssize_t got = ::read(STDIN_FILENO, &c, 1);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return line.empty() ? LineStatus::EndOfInput : LineStatus::Line;
    if (c == '\n') return LineStatus::Line;
    if (c != '\r') line.push_back(c);
  }
}

const char* interruptName(int signalNumber) {
  switch (signalNumber) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

void writeText(std::FILE* stream, const std::string& text) {
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}

std::vector<std::string> programArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

bool isTerminal(std::FILE* stream) {
  return ::isatty(::fileno(stream)) == 1;
}

bool outputsShareTerminal() {
  if (!::isatty(STDOUT_FILENO) || !::isatty(STDERR_FILENO)) return false;
  struct stat out {};
  struct stat err {};
  if (::fstat(STDOUT_FILENO, &out) != 0 || ::fstat(STDERR_FILENO, &err) != 0) return false;
  return out.st_rdev == err.st_rdev;
}

}  // namespace quorvel::cli
