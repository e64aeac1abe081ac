#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace quorvel::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollStep = std::chrono::milliseconds(10);
constexpr int kExecFailedStatus = 127;
// Where the kernel cannot mark them all at once, the descriptors below this are marked.
constexpr int kDescriptorsChecked = 4096;
// Ends only the wait of a program that hangs: the test then fails on its status.
constexpr auto kRunProgramLimit = std::chrono::minutes(5);

std::optional<int> statusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return std::nullopt;
}

// Onto `target`, and nothing else of it left open.
void redirectToFile(const std::filesystem::path& path, int target) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ::dup2(fd, target);
  ::close(fd);
}

void applyStart(const ChildStart& start) {
  if (start.fileSizeLimit) {
    ::signal(SIGXFSZ, SIG_IGN);  // a write beyond the limit fails instead of killing
    const rlimit limit{*start.fileSizeLimit, *start.fileSizeLimit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  for (int signalNumber : start.ignoredSignals) ::signal(signalNumber, SIG_IGN);
  if (start.onlyStandardStreams &&
      ::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = STDERR_FILENO + 1; fd < kDescriptorsChecked; ++fd)
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

[[noreturn]] void execChild(const ChildSetup& setup, const ChildStart& start, int stdinRead,
                            int stdoutWrite) {
  if (setup.stdinFd >= 0) {
    ::dup2(setup.stdinFd, STDIN_FILENO);
  } else {
    ::dup2(stdinRead, STDIN_FILENO);
  }
  if (!setup.stdoutFile.empty()) {
    redirectToFile(setup.stdoutFile, STDOUT_FILENO);
  } else if (stdoutWrite >= 0) {
    ::dup2(stdoutWrite, STDOUT_FILENO);
  }
  if (setup.stderrToStdout) {
    ::dup2(STDOUT_FILENO, STDERR_FILENO);
  } else if (setup.stderrFd >= 0) {
    ::dup2(setup.stderrFd, STDERR_FILENO);
  } else if (!setup.stderrFile.empty()) {
    redirectToFile(setup.stderrFile, STDERR_FILENO);
  }
  ::signal(SIGPIPE, SIG_DFL);
  applyStart(start);
  ::setpgid(0, 0);  // a signal for the child never reaches the test runner
  if (!setup.workingDirectory.empty() && ::chdir(setup.workingDirectory.c_str()) != 0) {
    ::_exit(kExecFailedStatus);
  }
  for (const auto& [name, value] : setup.environment) ::setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> argv;
  for (const std::string& arg : setup.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  ::_exit(kExecFailedStatus);
}

}  // namespace

Child::Child(const ChildSetup& setup, const ChildStart& start) {
  // A child that ends before reading its input must not take the test runner with it.
  ::signal(SIGPIPE, SIG_IGN);
  int stdinPipe[2] = {-1, -1};
  int stdoutPipe[2] = {-1, -1};
  if (setup.stdinFd < 0 && ::pipe2(stdinPipe, O_CLOEXEC) != 0) return;
  if (setup.stdoutFile.empty() && ::pipe2(stdoutPipe, O_CLOEXEC) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) execChild(setup, start, stdinPipe[0], stdoutPipe[1]);
  if (stdinPipe[0] >= 0) ::close(stdinPipe[0]);
  if (stdoutPipe[1] >= 0) ::close(stdoutPipe[1]);
  stdinFd_ = stdinPipe[1];
  stdoutFd_ = stdoutPipe[0];
  if (setup.stdinText) {
    const std::string& text = *setup.stdinText;
    ssize_t written = text.empty() ? 0 : ::write(stdinFd_, text.data(), text.size());
    (void)written;  // a child that ends early simply does not read it
    closeStdin();
  }
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  closeStdin();
  if (stdoutFd_ >= 0) ::close(stdoutFd_);
}

void Child::signal(int signo) const {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signo);
}

void Child::writeStdin(const std::string& text) {
  if (stdinFd_ < 0) return;
  ssize_t written = ::write(stdinFd_, text.data(), text.size());
  (void)written;
}

void Child::closeStdin() {
  if (stdinFd_ >= 0) ::close(stdinFd_);
  stdinFd_ = -1;
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (stdoutFd_ < 0 || left.count() <= 0) return std::nullopt;
    pollfd fd{stdoutFd_, POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[256];
    ssize_t got = ::read(stdoutFd_, buffer, sizeof buffer);
    if (got <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      return statusOf(status);
    }
    if (done < 0 || Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(kPollStep);
  }
}

int runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::string& outputFile) {
  ChildSetup setup;
  setup.argv = {program};
  setup.argv.insert(setup.argv.end(), args.begin(), args.end());
  setup.stdoutFile = outputFile;
  setup.stderrToStdout = true;
  setup.stdinText = std::string();
  Child child(setup);
  if (child.pid() <= 0) return kNotStarted;
  return child.wait(kRunProgramLimit).value_or(kNotStarted);
}

}  // namespace quorvel::testing
