#include "tests/serial/pty_peer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace quorvel::testing {

PtyPeer::PtyPeer() {
  char name[256] = {};
  if (openpty(&masterFd_, &slaveFd_, name, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty failed, errno " << errno;
    return;
  }
  slavePath_ = name;
  // Raw from the start, so that nothing the test sends before the port opens is echoed.
  termios raw{};
  tcgetattr(slaveFd_, &raw);
  cfmakeraw(&raw);
  tcsetattr(slaveFd_, TCSANOW, &raw);
}

PtyPeer::~PtyPeer() {
  hangUp();
  if (slaveFd_ >= 0) ::close(slaveFd_);
}

void PtyPeer::send(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = ::write(masterFd_, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    ASSERT_GT(put, 0) << "peer write failed, errno " << errno;
    done += static_cast<std::size_t>(put);
  }
}

std::string PtyPeer::receive(std::size_t count, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string bytes;
  while (bytes.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    pollfd entry{masterFd_, POLLIN, 0};
    int ready = ::poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (entry.revents & POLLIN) == 0) break;
    char chunk[4096];
    std::size_t wanted = std::min(sizeof chunk, count - bytes.size());
    ssize_t got = ::read(masterFd_, chunk, wanted);
    if (got <= 0) break;
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  return bytes;
}

void PtyPeer::hangUp() {
  if (masterFd_ >= 0) ::close(masterFd_);
  masterFd_ = -1;
}

}  // namespace quorvel::testing
