#include <unistd.h>

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

}  // namespace quorvel::testing
