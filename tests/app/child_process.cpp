#include "tests/app/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace quorvel::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollStep = std::chrono::milliseconds(10);
constexpr int kExecFailedStatus = 127;

std::optional<int> statusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return std::nullopt;
}

int openForWriting(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

[[noreturn]] void execChild(const ChildSetup& setup, int stdinRead, int stdoutWrite) {
  if (setup.stdinFd >= 0) {
    ::dup2(setup.stdinFd, STDIN_FILENO);
  } else {
    ::dup2(stdinRead, STDIN_FILENO);
  }
  if (!setup.stdoutFile.empty()) {
    int fd = openForWriting(setup.stdoutFile);
    if (fd >= 0) ::dup2(fd, STDOUT_FILENO);
  } else if (stdoutWrite >= 0) {
    ::dup2(stdoutWrite, STDOUT_FILENO);
  }
  if (setup.stderrFd >= 0) {
    ::dup2(setup.stderrFd, STDERR_FILENO);
  } else if (!setup.stderrFile.empty()) {
    int fd = openForWriting(setup.stderrFile);
    if (fd >= 0) ::dup2(fd, STDERR_FILENO);
  }
  ::signal(SIGPIPE, SIG_DFL);
  ::setpgid(0, 0);  // a signal for the child never reaches the test runner
  if (!setup.workingDirectory.empty() && ::chdir(setup.workingDirectory.c_str()) != 0) {
    ::_exit(kExecFailedStatus);
  }
  for (const auto& [name, value] : setup.environment) ::setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> argv;
  for (const std::string& arg : setup.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  ::_exit(kExecFailedStatus);
}

}  // namespace

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-cli-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  path_ = made != nullptr ? std::filesystem::path(made) : std::filesystem::path();
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& content, bool executable) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
  }
  if (executable) ::chmod(path.c_str(), 0755);
}

Child::Child(const ChildSetup& setup) {
  // A child that ends before reading its input must not take the test runner with it.
  ::signal(SIGPIPE, SIG_IGN);
  int stdinPipe[2] = {-1, -1};
  int stdoutPipe[2] = {-1, -1};
  if (setup.stdinFd < 0 && ::pipe2(stdinPipe, O_CLOEXEC) != 0) return;
  if (setup.stdoutFile.empty() && ::pipe2(stdoutPipe, O_CLOEXEC) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) execChild(setup, stdinPipe[0], stdoutPipe[1]);
  if (stdinPipe[0] >= 0) ::close(stdinPipe[0]);
  if (stdoutPipe[1] >= 0) ::close(stdoutPipe[1]);
  stdinFd_ = stdinPipe[1];
  stdoutFd_ = stdoutPipe[0];
  if (setup.stdinText) {
    const std::string& text = *setup.stdinText;
    ssize_t written = text.empty() ? 0 : ::write(stdinFd_, text.data(), text.size());
    (void)written;  // a child that ends early simply does not read it
    closeStdin();
  }
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  closeStdin();
  if (stdoutFd_ >= 0) ::close(stdoutFd_);
}

void Child::signal(int signo) const {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signo);
}

void Child::writeStdin(const std::string& text) {
  if (stdinFd_ < 0) return;
  ssize_t written = ::write(stdinFd_, text.data(), text.size());
  (void)written;
}

void Child::closeStdin() {
  if (stdinFd_ >= 0) ::close(stdinFd_);
  stdinFd_ = -1;
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (stdoutFd_ < 0 || left.count() <= 0) return std::nullopt;
    pollfd fd{stdoutFd_, POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[256];
    ssize_t got = ::read(stdoutFd_, buffer, sizeof buffer);
    if (got <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      return statusOf(status);
    }
    if (done < 0 || Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(kPollStep);
  }
}

bool waitForText(const std::filesystem::path& path, const std::string& text,
                 std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (readFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(kPollStep);
  }
  return false;
}

std::optional<std::map<std::uint32_t, std::uint8_t>> parseIntelHex(const std::string& text) {
  std::map<std::uint32_t, std::uint8_t> bytes;
  std::uint32_t base = 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0) return std::nullopt;
    std::vector<std::uint8_t> record;
    for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
      record.push_back(static_cast<std::uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
    }
    std::uint8_t sum = 0;
    for (std::uint8_t b : record) sum = static_cast<std::uint8_t>(sum + b);
    std::size_t count = record[0];
    if (sum != 0 || record.size() != count + 5) return std::nullopt;
    std::uint32_t offset = (std::uint32_t{record[1]} << 8) | record[2];
    switch (record[3]) {
      case 0x00:
        for (std::size_t i = 0; i < count; ++i) bytes[base + offset + i] = record[4 + i];
        break;
      case 0x01:
        return bytes;
      case 0x02:
        base = ((std::uint32_t{record[4]} << 8) | record[5]) << 4;
        break;
      case 0x04:
        base = ((std::uint32_t{record[4]} << 8) | record[5]) << 16;
        break;
      default:
        break;
    }
  }
  return bytes;
}

}  // namespace quorvel::testing
