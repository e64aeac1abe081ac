// A stop request holds for the rest of the process, so these tests have a program of their
// own.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "image/image_conversion.h"
#include "tests/image/fake_converter.h"
#include "tests/support/process_state.h"
#include "tests/support/scratch_dir.h"

namespace quorvel {
namespace {

using testing::readFile;
using testing::writeFile;

using namespace std::chrono_literals;

class ConverterStopTest : public testing::ScratchDirTest {};

// A converter that never ends is ended (on Windows with the command processor around it),
// and no converter starts after a stop.
TEST_F(ConverterStopTest, EndsAHangingConverterAndKeepsLaterOnesFromStarting) {
  testing::writeFakeConverter();
  writeFile("hang", "");
  std::thread stopper([] {
    for (int i = 0; i < 2000 && readFile("started").find('\n') == std::string::npos; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    requestConverterStop();
  });
  EXPECT_FALSE(runConverter());
  stopper.join();
  const std::string pid = readFile("started");
  ASSERT_NE(pid.find('\n'), std::string::npos) << "the converter never started";
  EXPECT_TRUE(testing::processEnded(std::stol(pid)));

  std::filesystem::remove("hang");
  EXPECT_FALSE(runConverter());
  EXPECT_FALSE(exists("args.txt"));
}

}  // namespace
}  // namespace quorvel
