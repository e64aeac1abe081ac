// Stands in for the converter in the image tests. By default it pauses briefly (so that a
// caller that does not wait is caught), records its arguments in "args.txt" and writes
// LSB.tmp and MSB.tmp holding "L" and "M". A file "hang" in the working directory makes it
// write its process id into "started" and then never end.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/process_state.h"

int main(int argc, char** argv) {
  using namespace std::chrono_literals;
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
