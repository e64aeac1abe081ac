#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/image_conversion.h"
#include "image/image_conversion_platform.h"
#include "platform/text_file.h"
#include "platform/timing.h"
#include "serial/trace.h"

extern char** environ;

namespace quorvel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kNoLimit = -1;
// Where the kernel offers no process descriptor, the wait looks at the converter this often.
constexpr int kExitPollMs = 50;
constexpr const char* kNoInput = "/dev/null";
// How long what the converter left running may take to end once killed; a process that does
// not end by then (stuck in the kernel) is left to the system.
constexpr int kLeftoverEndLimitMs = 2000;
constexpr int kLeftoverPollMs = 5;

std::atomic<bool> gStopRequested{false};
std::atomic<int> gStopWake{-1};  // write end of the pipe that wakes the wait on a stop

// Made once and kept open: a signal handler that has read the descriptor can then never
// write into one that was closed and reused meanwhile.
int stopWakeReadEnd() {
  static const int readEnd = [] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    gStopWake.store(fds[1]);
    return fds[0];
  }();
  return readEnd;
}

int remainingMs(Clock::time_point end) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

enum class Wake { Exited, Stop, TimedOut };

// The parent process id in /proc/<pid>/stat ("pid (name) state ppid ..."); 0 when unknown.
pid_t parentOf(const char* pid) {
  const std::string line =
      readSystemFile(std::string("/proc/") + pid + "/stat").value_or(std::string());
  const std::size_t nameEnd = line.rfind(')');
  if (nameEnd == std::string::npos) return 0;
  char state = 0;
  long parent = 0;
  if (std::sscanf(line.c_str() + nameEnd + 1, " %c %ld", &state, &parent) != 2) return 0;
  return static_cast<pid_t>(parent);
}

// The child processes of this process, from /proc; empty where there is none.
std::vector<pid_t> ownChildren() {
  std::vector<pid_t> children;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return children;
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    if (parentOf(entry->d_name) == self) children.push_back(std::atoi(entry->d_name));
  }
  ::closedir(proc);
  return children;
}

// While the converter runs, this process adopts the orphans of its tree (Linux's child
// subreaper): a helper whose parent ends, or one that left the converter's process group,
// comes back to us instead of to init, and is ended with the converter. The children this
// process had before are none of these; the conversion runs before any other thread of ours
// starts a process.
class OrphanAdoption {
 public:
  OrphanAdoption() : earlier_(ownChildren()) {
    int adopting = 0;
    if (::prctl(PR_GET_CHILD_SUBREAPER, &adopting) == 0 && adopting == 0) {
      set_ = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    }
  }
  ~OrphanAdoption() {
    if (set_) ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
  OrphanAdoption(const OrphanAdoption&) = delete;
  OrphanAdoption& operator=(const OrphanAdoption&) = delete;

  // Kills and reaps every child gained since, round by round, since a killed helper's own
  // children come to us in turn. Bounded: a process that cannot be ended is left.
  void endAdopted() const {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kLeftoverEndLimitMs);
    for (std::vector<pid_t> adopted = newChildren(); !adopted.empty(); adopted = newChildren()) {
      for (pid_t pid : adopted) ::kill(pid, SIGKILL);
      for (pid_t pid : adopted) {
        while (::waitpid(pid, nullptr, WNOHANG) == 0) {
          if (remainingMs(end) == 0) return;
          ::poll(nullptr, 0, kLeftoverPollMs);
        }
      }
    }
  }

 private:
  std::vector<pid_t> newChildren() const {
    std::vector<pid_t> children = ownChildren();
    std::erase_if(children, [this](pid_t pid) {
      return std::find(earlier_.begin(), earlier_.end(), pid) != earlier_.end();
    });
    return children;
  }

  std::vector<pid_t> earlier_;
  bool set_ = false;
};

// The converter, run directly (no shell) in a process group of its own, so that it can be
// ended together with whatever it started. Never left behind: the destructor kills the group
// and reaps the converter.
class ConverterProcess {
 public:
  ConverterProcess() = default;
  ~ConverterProcess() {
    if (pid_ > 0) {
      signalGroup(SIGKILL);
      reap();
    }
    if (pidfd_ >= 0) ::close(pidfd_);
  }
  ConverterProcess(const ConverterProcess&) = delete;
  ConverterProcess& operator=(const ConverterProcess&) = delete;

  bool start(const char* converter, const char* directory);
  // Until the converter has ended (it is not reaped yet, so its group stays ours), a stop
  // is requested (if `watchStop`), or `limitMs` has passed (kNoLimit: no limit).
  Wake wait(bool watchStop, int limitMs) const;
  void signalGroup(int signalNumber) const { ::kill(-pid_, signalNumber); }
  void reap();

 private:
  bool exited() const;

  pid_t pid_ = -1;
  int pidfd_ = -1;  // readable once the converter has ended; -1 where the kernel has none
};

// Owns the spawn attributes for the duration of one posix_spawn.
struct SpawnSetup {
  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
};

bool ConverterProcess::start(const char* converter, const char* directory) {
  std::vector<std::string> args = {converter,    "-a", kImageFileName, "-o",
                                   kLsbFileName, "-o", kMsbFileName};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  SpawnSetup setup;
  // Its own group (outside the terminal's foreground, so no input from it). The signals the
  // front end catches start with their default, as every exec gives them; those the shell
  // had ignored (nohup) stay ignored, as it meant them to.
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, kNoInput, O_RDONLY, 0);
  if (*directory != '\0') posix_spawn_file_actions_addchdir_np(&setup.actions, directory);
  const int error =
      ::posix_spawn(&pid_, converter, &setup.actions, &setup.attributes, argv.data(), environ);
  if (error != 0) {
    pid_ = -1;
    trace(1, "Cannot start the converter %s: %s\n", converter, std::strerror(error));
    return false;
  }
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  return true;
}

bool ConverterProcess::exited() const {
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return errno != EINTR;  // no such child any more: nothing to wait for
  }
  return info.si_pid == pid_;
}

Wake ConverterProcess::wait(bool watchStop, int limitMs) const {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(std::max(limitMs, 0));
  const int stopFd = watchStop ? stopWakeReadEnd() : -1;
  // Blocks until something happens when both can wake it; otherwise looks again in slices.
  const bool blocking = pidfd_ >= 0 && (!watchStop || stopFd >= 0);
  for (;;) {
    if (watchStop && gStopRequested) return Wake::Stop;
    if (exited()) return Wake::Exited;
    int left = limitMs == kNoLimit ? kNoLimit : remainingMs(end);
    if (left == 0) return Wake::TimedOut;
    if (!blocking) left = left == kNoLimit ? kExitPollMs : std::min(left, kExitPollMs);
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {pidfd_, POLLIN, 0}};  // -1 entries are skipped
    ::poll(fds, 2, left);
  }
}

void ConverterProcess::reap() {
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace

const char* converterFileName() {
  return "hex55";
}
const char* programFileName() {
  return "ZambrioQUORVEL";
}

void requestConverterStop() {
  gStopRequested.store(true);
  const int fd = gStopWake.load();
  if (fd < 0) return;
  const int savedErrno = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
  errno = savedErrno;
}

namespace detail {

const char* const kDefaultConverter = "./hex55";

// Whatever the converter leaves running when it ends (a helper it started) is ended with it:
// its process group while the unreaped converter still keeps the group's number ours, then
// what this process adopted of its tree.
bool runConverterProcess(const char* converter, const char* directory, ConverterLaunch) {
  stopWakeReadEnd();  // before the flag is looked at, so that no stop can slip between
  if (gStopRequested) return false;
  const OrphanAdoption adoption;
  ConverterProcess process;
  if (!process.start(converter, directory)) return false;
  const bool exited = process.wait(true, kNoLimit) == Wake::Exited;
  if (!exited) {
    trace(1, "Conversion interrupted: the converter is ended\n");
    process.signalGroup(SIGTERM);
    process.wait(false, static_cast<int>(timing().converterStopGraceMs));
  }
  process.signalGroup(SIGKILL);  // whatever of its group is still there
  process.reap();
  adoption.endAdopted();
  return exited && !gStopRequested;
}

bool entryExists(const char* name) {
  struct stat info;
  return ::stat(name, &info) == 0;
}

bool deleteFile(const char* name) {
  return std::remove(name) == 0 || errno == ENOENT;
}

}  // namespace detail

}  // namespace quorvel
