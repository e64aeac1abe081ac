#include "tests/support/simulator_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <thread>
#include <utility>

extern char** environ;

namespace quorvel::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kReapPollStep{5};

int remainingMs(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The first line of `fd`, waiting at most `limit`; empty when none arrives complete.
std::string readFirstLine(int fd, milliseconds limit) {
  const auto end = Clock::now() + limit;
  std::string line;
  char c = 0;
  while (remainingMs(end) > 0) {
    pollfd in{fd, POLLIN, 0};
    const int ready = ::poll(&in, 1, remainingMs(end));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || ::read(fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return {};
}

int statusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Spawns `argv` with stdout on `stdoutFd`; the process id, or -1.
pid_t spawn(const std::vector<std::string>& args, int stdoutFd, const std::string& stderrPath) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
  if (!stderrPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

SimulatorProcess::SimulatorProcess(const std::string& program, const std::vector<std::string>& args,
                                   const std::string& stderrPath) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  // Close-on-exec: the simulator keeps only its stdout copy, so its exit ends our read.
  std::array<int, 2> out{};
  if (::pipe2(out.data(), O_CLOEXEC) != 0) return;
  pid_ = spawn(argv, out[1], stderrPath);
  ::close(out[1]);
  if (pid_ > 0) devicePath_ = readFirstLine(out[0], kSimulatorStartLimit);
  ::close(out[0]);
}

SimulatorProcess::~SimulatorProcess() {
  terminate();
}

SimulatorProcess::SimulatorProcess(SimulatorProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), devicePath_(std::move(other.devicePath_)) {}

SimulatorProcess& SimulatorProcess::operator=(SimulatorProcess&& other) noexcept {
  if (this != &other) {
    terminate();
    pid_ = std::exchange(other.pid_, -1);
    devicePath_ = std::move(other.devicePath_);
  }
  return *this;
}

void SimulatorProcess::signal(int signalNumber) const {
  if (pid_ > 0) ::kill(pid_, signalNumber);
}

int SimulatorProcess::waitExit(milliseconds limit) {
  if (pid_ <= 0) return -1;
  const auto end = Clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return statusOf(status);
    }
    if (done < 0 && errno != EINTR) {
      pid_ = -1;  // no longer our child to wait for
      return -1;
    }
    if (Clock::now() >= end) return -1;
    std::this_thread::sleep_for(kReapPollStep);
  }
}

int SimulatorProcess::terminate() {
  if (pid_ <= 0) return -1;
  signal(SIGTERM);
  const int status = waitExit(kSimulatorStopGrace);
  if (pid_ <= 0) return status;
  signal(SIGKILL);
  int killed = 0;
  while (::waitpid(pid_, &killed, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return statusOf(killed);
}

}  // namespace quorvel::testing
