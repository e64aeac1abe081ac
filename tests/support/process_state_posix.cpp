#include <signal.h>
#include <unistd.h>

#include <climits>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/process_state.h"

namespace quorvel::testing {

long currentProcessId() {
  return static_cast<long>(::getpid());
}

bool processEnded(long pid) {
  for (int i = 0; i < 300; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const std::size_t end = line.rfind(')');
    if (end != std::string::npos && line.compare(end + 1, 3, " Z ") == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

long startCopyOfThisProgram(const char* argument, bool ownSession) {
  char self[PATH_MAX] = {};
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return 0;
  const pid_t pid = ::fork();  // the caller is a single-threaded test program
  if (pid == 0) {
    if (ownSession) ::setsid();
    ::execl(self, self, argument, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid > 0 ? static_cast<long>(pid) : 0;
}

void killProcess(long pid) {
  ::kill(static_cast<pid_t>(pid), SIGKILL);
}

bool enterJobOfItsOwn() {
  return false;
}

}  // namespace quorvel::testing
