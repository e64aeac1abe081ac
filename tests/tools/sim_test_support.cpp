#include "tests/tools/sim_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quorvel::sim::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kTestFrameGap = "--frame-gap-ms=5";
constexpr const char* kTestTimeout = "--timeout=30";

bool hasOption(const std::vector<std::string>& args, std::string_view name) {
  for (const auto& arg : args) {
    if (std::string_view(arg).starts_with(name)) return true;
  }
  return false;
}

std::vector<std::string> withTestDefaults(std::vector<std::string> args) {
  if (!hasOption(args, "--frame-gap-ms")) args.emplace_back(kTestFrameGap);
  if (!hasOption(args, "--timeout")) args.emplace_back(kTestTimeout);
  return args;
}

int remainingMs(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::string sectorFrame(std::uint32_t address, const std::vector<std::uint16_t>& words,
                        std::uint16_t compat) {
  std::string bytes;
  auto put = [&bytes](std::uint16_t word) {
    bytes += static_cast<char>(word & 0xFF);
    bytes += static_cast<char>(word >> 8);
  };
  std::uint32_t sum = 0;
  put(static_cast<std::uint16_t>(address >> 16));
  put(static_cast<std::uint16_t>(address & 0xFFFF));
  for (auto word : words) {
    put(word);
    sum += word;
  }
  put(static_cast<std::uint16_t>(sum & 0xFFFF));
  put(static_cast<std::uint16_t>(sum >> 16));
  put(compat);
  return bytes;
}

SimProcess::SimProcess(std::vector<std::string> args, const std::string& stderrPath)
    : SimulatorProcess(QUORVEL_SIM_PATH, withTestDefaults(std::move(args)), stderrPath) {}

HostPort::HostPort(const std::string& path, speed_t speed)
    : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  termios settings{};
  if (!fd_.valid() || ::tcgetattr(fd_.get(), &settings) != 0) {
    fd_.reset();
    return;
  }
  ::cfmakeraw(&settings);
  ::cfsetspeed(&settings, speed);
  if (::tcsetattr(fd_.get(), TCSANOW, &settings) != 0) fd_.reset();
}

void HostPort::send(std::string_view bytes) {
  while (!bytes.empty() && fd_.valid()) {
    const ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      pollfd out{fd_.get(), POLLOUT, 0};
      ::poll(&out, 1, 100);
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

std::string HostPort::receive(std::size_t count, milliseconds limit) {
  const auto end = Clock::now() + limit;
  std::string bytes;
  std::array<char, 256> chunk{};
  while (bytes.size() < count && fd_.valid()) {
    pollfd in{fd_.get(), POLLIN, 0};
    if (::poll(&in, 1, remainingMs(end)) <= 0) break;
    const ssize_t n = ::read(fd_.get(), chunk.data(), std::min(chunk.size(), count - bytes.size()));
    if (n <= 0) break;
    bytes.append(chunk.data(), static_cast<std::size_t>(n));
  }
  return bytes;
}

std::string HostPort::receiveFor(milliseconds window) {
  return receive(std::size_t(-1), window);
}

bool HostPort::hungUp(milliseconds limit) {
  pollfd in{fd_.get(), POLLIN, 0};
  if (::poll(&in, 1, static_cast<int>(limit.count())) <= 0) return false;
  if ((in.revents & POLLHUP) != 0) return true;
  char byte = 0;
  return ::read(fd_.get(), &byte, 1) < 0 && errno == EIO;
}

}  // namespace quorvel::sim::test
