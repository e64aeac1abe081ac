#include <winsock2.h>
#include <ws2tcpip.h>
// After Winsock, which must come before windows.h.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "serial/net_socket.h"

namespace quorvel {
namespace {

using detail::Ready;
using detail::statusOf;

constexpr long kAllEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
constexpr WORD kWinsockVersion = MAKEWORD(2, 2);

// Winsock is started once for the process and left to the process's end.
bool winsockStarted() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(kWinsockVersion, &data) == 0;
  }();
  return started;
}

SOCKET asSocket(std::intptr_t handle) {
  return static_cast<SOCKET>(handle);
}

WSAEVENT asEvent(std::intptr_t event) {
  return reinterpret_cast<WSAEVENT>(event);
}

DWORD remainingMs(NetClock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - NetClock::now());
  return static_cast<DWORD>(std::clamp<std::int64_t>(left.count(), 0, INFINITE - 1));
}

bool cancelled(const CancelEvent* cancel) {
  return cancel != nullptr && cancel->isSignalled();
}

// Waits until one of `wanted` (or the connection's close) is recorded for the socket, the
// deadline passes or the cancel event is signalled. Taking the recorded events resets them;
// the calls that follow find out again what is possible (Winsock records FD_READ and FD_WRITE
// anew after a call that would have blocked).
Ready waitFor(SOCKET socket, WSAEVENT event, long wanted, NetClock::time_point deadline,
              const CancelEvent* cancel, WSANETWORKEVENTS& happened) {
  const HANDLE handles[2] = {
      event, cancel != nullptr ? reinterpret_cast<HANDLE>(cancel->waitHandle()) : nullptr};
  const DWORD count = handles[1] != nullptr ? 2 : 1;
  for (;;) {
    if (cancelled(cancel)) return Ready::Cancelled;
    const DWORD left = remainingMs(deadline);
    if (left == 0) return Ready::TimedOut;
    const DWORD woken = WaitForMultipleObjects(count, handles, FALSE, left);
    if (woken == WAIT_FAILED) return Ready::Failed;
    if (woken != WAIT_OBJECT_0) continue;  // the time (the deadline decides) or the cancel
    happened = {};
    if (WSAEnumNetworkEvents(socket, event, &happened) != 0) return Ready::Failed;
    if ((happened.lNetworkEvents & (wanted | FD_CLOSE)) != 0) return Ready::Yes;
  }
}

NetStatus failureOf(int error) {
  switch (error) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
    case WSAENETRESET:
      return NetStatus::Closed;
    default:
      return NetStatus::Failed;
  }
}

ConnectFailure connectFailureFor(int error) {
  switch (error) {
    case WSAECONNREFUSED:
      return ConnectFailure::Refused;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN:
    case WSAEHOSTDOWN:
      return ConnectFailure::Unreachable;
    case WSAETIMEDOUT:
      return ConnectFailure::TimedOut;
    default:
      return ConnectFailure::Failed;
  }
}

// Small writes (a Modbus request, "GO", a Telnet reply) go out at once instead of waiting
// for the acknowledgement of the previous segment.
void sendWithoutDelay(SOCKET socket) {
  const BOOL on = TRUE;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// The socket and its event while a connection is being made; both closed unless released.
class PendingSocket {
 public:
  PendingSocket(SOCKET socket, WSAEVENT event) : socket_(socket), event_(event) {}
  ~PendingSocket() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    if (event_ != WSA_INVALID_EVENT) WSACloseEvent(event_);
  }
  PendingSocket(const PendingSocket&) = delete;
  PendingSocket& operator=(const PendingSocket&) = delete;

  void release() {
    socket_ = INVALID_SOCKET;
    event_ = WSA_INVALID_EVENT;
  }

 private:
  SOCKET socket_;
  WSAEVENT event_;
};

}  // namespace

ConnectFailure resolveAddresses(const std::string& host, std::uint16_t port, bool numericOnly,
                                std::vector<SocketAddress>& addresses) {
  if (!winsockStarted()) return ConnectFailure::NotResolved;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return ConnectFailure::NotResolved;
  }
  addresses = detail::addressesOf(found);
  freeaddrinfo(found);
  return addresses.empty() ? ConnectFailure::NotResolved : ConnectFailure::None;
}

ConnectFailure NetSocket::connectTo(const SocketAddress& address, NetClock::time_point deadline,
                                    const CancelEvent* cancel) {
  if (!winsockStarted()) return ConnectFailure::Failed;
  sockaddr_storage storage{};
  std::memcpy(&storage, address.bytes.data(), static_cast<std::size_t>(address.length));
  const SOCKET socket = ::socket(storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) return ConnectFailure::Failed;
  const WSAEVENT event = WSACreateEvent();
  PendingSocket pending(socket, event);
  // Not inherited by a converter started later; the event also makes the socket non-blocking.
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  if (event == WSA_INVALID_EVENT || WSAEventSelect(socket, event, kAllEvents) != 0) {
    return ConnectFailure::Failed;
  }
  const auto* target = reinterpret_cast<const sockaddr*>(&storage);
  if (::connect(socket, target, address.length) != 0) {
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return connectFailureFor(error);
    WSANETWORKEVENTS happened{};
    const Ready ready = waitFor(socket, event, FD_CONNECT, deadline, cancel, happened);
    if (ready != Ready::Yes) return detail::connectFailureOf(ready);
    if ((happened.lNetworkEvents & FD_CONNECT) == 0) return ConnectFailure::Failed;
    const int connectError = happened.iErrorCode[FD_CONNECT_BIT];
    if (connectError != 0) return connectFailureFor(connectError);
  }
  sendWithoutDelay(socket);
  pending.release();
  handle_ = static_cast<std::intptr_t>(socket);
  event_ = reinterpret_cast<std::intptr_t>(event);
  return ConnectFailure::None;
}

NetStatus NetSocket::send(const std::uint8_t* data, std::size_t size, std::size_t& sent,
                          NetClock::time_point deadline, const CancelEvent* cancel) {
  sent = 0;
  if (handle_ < 0) return NetStatus::Failed;
  const SOCKET socket = asSocket(handle_);
  while (sent < size) {
    const int chunk = static_cast<int>(std::min<std::size_t>(size - sent, INT_MAX));
    const int put = ::send(socket, reinterpret_cast<const char*>(data + sent), chunk, 0);
    if (put > 0) {
      sent += static_cast<std::size_t>(put);
      continue;
    }
    const int error = WSAGetLastError();
    if (put == 0 || error != WSAEWOULDBLOCK) return failureOf(error);
    WSANETWORKEVENTS happened{};
    const Ready ready = waitFor(socket, asEvent(event_), FD_WRITE, deadline, cancel, happened);
    if (ready != Ready::Yes) return statusOf(ready);
  }
  return NetStatus::Done;
}

NetStatus NetSocket::receive(std::uint8_t* buffer, std::size_t capacity, std::size_t& got,
                             NetClock::time_point deadline, const CancelEvent* cancel) {
  got = 0;
  if (handle_ < 0) return NetStatus::Failed;
  const SOCKET socket = asSocket(handle_);
  const int room = static_cast<int>(std::min<std::size_t>(capacity, INT_MAX));
  for (;;) {
    const int n = ::recv(socket, reinterpret_cast<char*>(buffer), room, 0);
    if (n > 0) {
      got = static_cast<std::size_t>(n);
      return NetStatus::Done;
    }
    if (n == 0) return NetStatus::Closed;
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return failureOf(error);
    WSANETWORKEVENTS happened{};
    const Ready ready = waitFor(socket, asEvent(event_), FD_READ, deadline, cancel, happened);
    if (ready != Ready::Yes) return statusOf(ready);
  }
}

// Winsock does not tell what has left the machine: the bytes count as gone once it has them.
NetStatus NetSocket::drain(NetClock::time_point, const CancelEvent*, std::size_t& unsent) {
  unsent = 0;
  return NetStatus::Done;
}

// Unread input would turn the close into a reset, which may overtake the last bytes sent.
void NetSocket::close() {
  if (handle_ < 0) return;
  const SOCKET socket = asSocket(std::exchange(handle_, -1));
  shutdown(socket, SD_SEND);
  char unread[256];
  while (::recv(socket, unread, sizeof unread, 0) > 0) {
  }
  closesocket(socket);
  WSACloseEvent(asEvent(std::exchange(event_, 0)));
}

void NetSocket::abort() {
  if (handle_ < 0) return;
  const SOCKET socket = asSocket(std::exchange(handle_, -1));
  const linger reset{1, 0};
  setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
  closesocket(socket);
  WSACloseEvent(asEvent(std::exchange(event_, 0)));
}

bool NetSocket::isOpen() const {
  return handle_ >= 0;
}

}  // namespace quorvel
