#include "tests/support/pty_peer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace quorvel::testing {

PtyPair::PtyPair() {
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty failed, errno " << errno;
    return;
  }
  path = name;
}

PtyPair::~PtyPair() {
  if (slave >= 0) ::close(slave);
  if (master >= 0) ::close(master);
}

PtyPeer::PtyPeer() {
  if (pair_.slave < 0) return;
  termios raw{};
  tcgetattr(pair_.slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(pair_.slave, TCSANOW, &raw);
}

void PtyPeer::send(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = ::write(pair_.master, bytes.data() + done, bytes.size() - done);
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
    pollfd entry{pair_.master, POLLIN, 0};
    int ready = ::poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (entry.revents & POLLIN) == 0) break;
    char chunk[4096];
    std::size_t wanted = std::min(sizeof chunk, count - bytes.size());
    ssize_t got = ::read(pair_.master, chunk, wanted);
    if (got <= 0) break;
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  return bytes;
}

void PtyPeer::hangUp() {
  if (pair_.master >= 0) ::close(pair_.master);
  pair_.master = -1;
}

}  // namespace quorvel::testing
