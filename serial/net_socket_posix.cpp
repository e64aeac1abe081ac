#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/sockios.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "platform/timing.h"
#include "serial/net_socket.h"

namespace quorvel {
namespace {

using detail::Ready;
using detail::statusOf;

// Without a wake pipe of the cancel event, waits look at it this often.
constexpr int kCancelSliceMs = 20;
// While sent bytes wait in the system's queue, it is looked at again after this pause.
constexpr std::uint32_t kDrainPollMs = 1;

// A write to a connection the server has closed must fail, not raise SIGPIPE.
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

int remainingMs(NetClock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - NetClock::now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
}

bool cancelled(const CancelEvent* cancel) {
  return cancel != nullptr && cancel->isSignalled();
}

// Waits until `fd` allows `events` (or reports an error or a hang-up, which the call that
// follows tells), the deadline passes or the cancel event is signalled.
Ready waitFor(int fd, short events, NetClock::time_point deadline, const CancelEvent* cancel) {
  const int wake = cancel != nullptr ? static_cast<int>(cancel->waitHandle()) : -1;
  for (;;) {
    if (cancelled(cancel)) return Ready::Cancelled;
    int left = remainingMs(deadline);
    if (left == 0) return Ready::TimedOut;
    if (cancel != nullptr && wake < 0) left = std::min(left, kCancelSliceMs);
    pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
    const int ready = ::poll(fds, wake >= 0 ? 2 : 1, left);
    if (ready < 0 && errno != EINTR) return Ready::Failed;
    if (ready > 0 && fds[0].revents != 0) return Ready::Yes;
  }
}

bool wouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

ConnectFailure connectFailureFor(int error) {
  switch (error) {
    case ECONNREFUSED:
      return ConnectFailure::Refused;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
#ifdef EHOSTDOWN
    case EHOSTDOWN:
#endif
      return ConnectFailure::Unreachable;
    case ETIMEDOUT:
      return ConnectFailure::TimedOut;
    default:
      return ConnectFailure::Failed;
  }
}

// A socket that is non-blocking, closed on exec and never raises SIGPIPE; -1 on failure.
int openSocket(int family) {
  int type = SOCK_STREAM;
#ifdef SOCK_CLOEXEC
  type |= SOCK_CLOEXEC | SOCK_NONBLOCK;
#endif
  const int fd = ::socket(family, type, IPPROTO_TCP);
  if (fd < 0) return -1;
#ifndef SOCK_CLOEXEC
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
#endif
#ifdef SO_NOSIGPIPE
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  return fd;
}

// Small writes (a Modbus request, "GO", a Telnet reply) go out at once instead of waiting
// for the acknowledgement of the previous segment.
void sendWithoutDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

class PendingSocket {
 public:
  explicit PendingSocket(int fd) : fd_(fd) {}
  ~PendingSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  PendingSocket(const PendingSocket&) = delete;
  PendingSocket& operator=(const PendingSocket&) = delete;
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace

ConnectFailure resolveAddresses(const std::string& host, std::uint16_t port, bool numericOnly,
                                std::vector<SocketAddress>& addresses) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return ConnectFailure::NotResolved;
  }
  addresses = detail::addressesOf(found);
  ::freeaddrinfo(found);
  return addresses.empty() ? ConnectFailure::NotResolved : ConnectFailure::None;
}

ConnectFailure NetSocket::connectTo(const SocketAddress& address, NetClock::time_point deadline,
                                    const CancelEvent* cancel) {
  sockaddr_storage storage{};
  std::memcpy(&storage, address.bytes.data(), static_cast<std::size_t>(address.length));
  const int fd = openSocket(storage.ss_family);
  if (fd < 0) return ConnectFailure::Failed;
  PendingSocket pending(fd);
  const auto* target = reinterpret_cast<const sockaddr*>(&storage);
  if (::connect(fd, target, static_cast<socklen_t>(address.length)) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return connectFailureFor(errno);
    const Ready ready = waitFor(fd, POLLOUT, deadline, cancel);
    if (ready != Ready::Yes) return detail::connectFailureOf(ready);
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) return connectFailureFor(error);
  }
  sendWithoutDelay(fd);
  handle_ = pending.release();
  return ConnectFailure::None;
}

NetStatus NetSocket::send(const std::uint8_t* data, std::size_t size, std::size_t& sent,
                          NetClock::time_point deadline, const CancelEvent* cancel) {
  sent = 0;
  const int fd = static_cast<int>(handle_);
  if (fd < 0) return NetStatus::Failed;
  while (sent < size) {
    const ssize_t put = ::send(fd, data + sent, size - sent, kSendFlags);
    if (put > 0) {
      sent += static_cast<std::size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && wouldBlock(errno)) {
      const Ready ready = waitFor(fd, POLLOUT, deadline, cancel);
      if (ready == Ready::Yes) continue;
      return statusOf(ready);
    }
    return errno == EPIPE || errno == ECONNRESET ? NetStatus::Closed : NetStatus::Failed;
  }
  return NetStatus::Done;
}

NetStatus NetSocket::receive(std::uint8_t* buffer, std::size_t capacity, std::size_t& got,
                             NetClock::time_point deadline, const CancelEvent* cancel) {
  got = 0;
  const int fd = static_cast<int>(handle_);
  if (fd < 0) return NetStatus::Failed;
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, capacity, 0);
    if (n > 0) {
      got = static_cast<std::size_t>(n);
      return NetStatus::Done;
    }
    if (n == 0) return NetStatus::Closed;
    if (errno == EINTR) continue;
    if (!wouldBlock(errno)) return errno == ECONNRESET ? NetStatus::Closed : NetStatus::Failed;
    const Ready ready = waitFor(fd, POLLIN, deadline, cancel);
    if (ready != Ready::Yes) return statusOf(ready);
  }
}

// Linux tells how much of what was sent has not left yet; elsewhere the bytes count as gone
// once the system has them.
NetStatus NetSocket::drain(NetClock::time_point deadline, const CancelEvent* cancel,
                           std::size_t& unsent) {
  unsent = 0;
#ifdef SIOCOUTQNSD
  const int fd = static_cast<int>(handle_);
  for (;;) {
    int queued = 0;
    if (fd < 0 || ::ioctl(fd, SIOCOUTQNSD, &queued) != 0 || queued <= 0) return NetStatus::Done;
    unsent = static_cast<std::size_t>(queued);
    if (cancelled(cancel)) return NetStatus::Cancelled;
    if (remainingMs(deadline) == 0) return NetStatus::TimedOut;
    if (cancel != nullptr) {
      cancel->waitFor(kDrainPollMs);
    } else {
      sleepMs(kDrainPollMs);
    }
  }
#else
  (void)deadline;
  (void)cancel;
  return NetStatus::Done;
#endif
}

// Unread input would turn the close into a reset, which may overtake the last bytes sent.
void NetSocket::close() {
  if (handle_ < 0) return;
  const int fd = static_cast<int>(std::exchange(handle_, -1));
  ::shutdown(fd, SHUT_WR);
  std::uint8_t unread[256];
  while (::recv(fd, unread, sizeof unread, 0) > 0) {
  }
  ::close(fd);
}

void NetSocket::abort() {
  if (handle_ < 0) return;
  const int fd = static_cast<int>(std::exchange(handle_, -1));
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
}

bool NetSocket::isOpen() const {
  return handle_ >= 0;
}

}  // namespace quorvel
