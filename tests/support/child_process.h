#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The programs under test as child processes: runProgram on every platform; Child, which
// talks to the program while it runs, on POSIX only.
namespace quorvel::testing {

struct ChildSetup {
  std::vector<std::string> argv;  // argv[0] is the program's path
  std::filesystem::path workingDirectory;
  std::map<std::string, std::string> environment;  // added to ours
  std::filesystem::path stdoutFile;                // empty: a pipe readable with readLine()
  std::filesystem::path stderrFile;                // empty: inherited
  std::optional<std::string> stdinText;  // written, then closed; nullopt: a pipe kept open
  int stdinFd = -1;                      // when >= 0, used as standard input instead
  int stderrFd = -1;                     // when >= 0, used as standard error instead
  bool stderrToStdout = false;           // standard error goes where standard output goes
};

// What a child starts with besides its setup (POSIX only).
struct ChildStart {
  std::optional<std::uint64_t> fileSizeLimit;  // RLIMIT_FSIZE in bytes (SIGXFSZ then ignored)
  std::vector<int> ignoredSignals;             // as a shell's nohup or background job leaves them
  bool onlyStandardStreams = false;            // no other descriptor of the test reaches it

  static ChildStart withFileSizeLimit(std::uint64_t bytes) {
    ChildStart start;
    start.fileSizeLimit = bytes;
    return start;
  }
  static ChildStart ignoring(std::vector<int> signals) {
    ChildStart start;
    start.ignoredSignals = std::move(signals);
    return start;
  }
  static ChildStart withStandardStreamsOnly() {
    ChildStart start;
    start.onlyStandardStreams = true;
    return start;
  }
};

// A running child (POSIX only). The destructor kills it (SIGKILL) if it has not been waited for.
class Child {
 public:
  explicit Child(const ChildSetup& setup, const ChildStart& start = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int signo) const;
  void writeStdin(const std::string& text);
  void closeStdin();
  // One line of the child's stdout pipe; nullopt on end or time-out.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // The exit status, 128 + signal when killed, nullopt on time-out.
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  bool reaped_ = false;
  std::string pending_;
};

// Runs `program` with `args` (no shell involved), its standard output and error going to
// `outputFile`, and waits for it. Returns its exit status, or kNotStarted.
inline constexpr int kNotStarted = -1;
int runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::string& outputFile);

}  // namespace quorvel::testing
