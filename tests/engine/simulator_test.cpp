// The downloader against the simulated instrument, each fault it can inject.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "tests/engine/downloader_fixture.h"

extern char** environ;

namespace quorvel::testing {
namespace {

constexpr const char* kSimLink = "./sim";

// The simulator as a child process, ready once it has printed its pty path.
class Simulator {
 public:
  explicit Simulator(std::vector<std::string> args) {
    args.insert(args.begin(), {QUORVEL_SIM_PATH, "--link", kSimLink, "--timeout", "60"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (posix_spawn(&pid_, QUORVEL_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char c = 0;
    while (pid_ > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') ready_ = true;
    ::close(out[0]);
  }
  ~Simulator() { exitCode(); }
  bool ready() const { return ready_; }
  // Ends a simulator still waiting for "GO"; its exit code.
  int exitCode(bool stop = false) {
    if (pid_ <= 0) return -1;
    if (stop) kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

struct FaultCase {
  std::vector<std::string> simArgs;
  std::int32_t result;
  std::size_t percentages;  // of three sectors, and the final 100
};

TEST_F(DownloaderTest, AgainstTheSimulator) {
  const std::string compatibility = std::to_string(kCompatibility);
  const FaultCase cases[] = {
      {{"--expect-compat", compatibility}, Success, 4},
      {{"--ack-bytes", "1"}, Success, 4},
      {{"--silent-modbus"}, Success, 4},
      {{"--reject-sector", "2:2"}, Success, 4},
      {{"--silent-sector", "2:2"}, Success, 4},
      {{"--garbage-sector", "3:2"}, Success, 4},
      {{"--reject-sector", "2:3"}, TransferFailed, 1},
      {{"--garbage-sector", "1:3"}, TransferFailed, 0},
      {{"--expect-compat", "0x0203"}, TransferFailed, 0},
      {{"--drop-after-sector", "1"}, TransferFailed, 1},
      // An invalid Modbus answer is no answer: no download order, so no loader mode.
      {{"--modbus-exception"}, TransferFailed, 0},
      {{"--modbus-lowercase"}, TransferFailed, 0},
      {{"--modbus-slave", "2"}, TransferFailed, 0},
  };
  writeConvertedImage(sectors);
  construct(kSimLink);
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.simArgs.front());
    RecordingTarget progress;
    Simulator sim(c.simArgs);
    ASSERT_TRUE(sim.ready());
    ::testing::internal::CaptureStdout();
    const bool succeeded = downloader->runDownload(progress, WM_DOWNLOAD_PROGRESS);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(succeeded, c.result == Success);
    EXPECT_EQ(downloader->result(), c.result);
    EXPECT_EQ(progress.percentages().size(), c.percentages);
    EXPECT_EQ(sim.exitCode(!succeeded) == 0, succeeded);  // 0: "GO" arrived
  }
}

}  // namespace
}  // namespace quorvel::testing
