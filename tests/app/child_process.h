#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Helpers for running the programs under test as child processes in a scratch directory.
namespace quorvel::testing {

// A fresh directory under the system's temporary folder, removed with its content.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& content,
               bool executable = false);

struct ChildSetup {
  std::vector<std::string> argv;  // argv[0] is the program's path
  std::filesystem::path workingDirectory;
  std::map<std::string, std::string> environment;  // added to ours
  std::filesystem::path stdoutFile;                // empty: a pipe readable with readLine()
  std::filesystem::path stderrFile;                // empty: inherited
  std::optional<std::string> stdinText;  // written, then closed; nullopt: a pipe kept open
  int stdinFd = -1;                      // when >= 0, used as standard input instead
  int stderrFd = -1;                     // when >= 0, used as standard error instead
};

// A running child. The destructor kills it (SIGKILL) if it has not been waited for.
class Child {
 public:
  explicit Child(const ChildSetup& setup);
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

// Polls until `path` holds `text` or `timeout` passes.
bool waitForText(const std::filesystem::path& path, const std::string& text,
                 std::chrono::milliseconds timeout);

// Intel HEX content as byte address -> byte; nullopt when a record is malformed.
std::optional<std::map<std::uint32_t, std::uint8_t>> parseIntelHex(const std::string& text);

}  // namespace quorvel::testing
