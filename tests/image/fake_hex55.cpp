// Stands in for the converter in the image tests. By default it pauses briefly (so that a
// caller that does not wait is caught), records its arguments in "args.txt" and writes
// LSB.tmp and MSB.tmp holding "L" and "M". A file "hang" in the working directory makes it
// write its process id into "started" and then never end. A file "linger" makes it first
// start a helper that never ends and write the helper's process id into "helper"; with
// "linger-apart" the helper leaves the converter's session and process group (POSIX).
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/process_state.h"

int main(int argc, char** argv) {
  using namespace std::chrono_literals;
  constexpr const char* kHelperArgument = "--lingering-helper";
  if (argc == 2 && std::string(argv[1]) == kHelperArgument) {
    for (;;) std::this_thread::sleep_for(1s);
  }
  const bool apart = std::filesystem::exists("linger-apart");
  if (apart || std::filesystem::exists("linger")) {
    std::ofstream("helper") << quorvel::testing::startCopyOfThisProgram(kHelperArgument, apart)
                            << "\n";
  }
  if (std::filesystem::exists("hang")) {
    std::ofstream("started") << quorvel::testing::currentProcessId() << "\n";
    for (;;) std::this_thread::sleep_for(1s);
  }
  std::this_thread::sleep_for(300ms);
  std::ofstream args("args.txt");
  for (int i = 1; i < argc; ++i) args << (i > 1 ? " " : "") << argv[i];
  std::ofstream("LSB.tmp") << "L";
  std::ofstream("MSB.tmp") << "M";
  return 0;
}
