#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/cancel_event.h"

// A TCP connection to a serial device server. One back end per platform (net_socket_posix.cpp,
// net_socket_win32.cpp); the socket is non-blocking underneath, so every call waits at most
// until its deadline and ends early once the cancel event, when one is given, is signalled.
namespace quorvel {

using NetClock = std::chrono::steady_clock;

// How a transfer on the connection ended.
enum class NetStatus : std::uint8_t {
  Done,       // all of it
  TimedOut,   // the deadline came first
  Cancelled,  // the cancel event was signalled first
  Closed,     // the server closed or reset the connection
  Failed,     // any other error
};

// Why no connection was made.
enum class ConnectFailure : std::uint8_t {
  None,         // connected
  NotResolved,  // the host name has no address, or none within the time
  Refused,      // nothing listens on that port
  Unreachable,  // no route to the network or the host
  TimedOut,     // no answer within the time
  Cancelled,
  Failed,  // any other error
};

// An address in the form the socket calls take (a sockaddr_storage's worth of bytes).
struct SocketAddress {
  std::array<std::uint8_t, 128> bytes{};
  int length = 0;
};

namespace detail {

// How a wait of a back end ended.
enum class Ready : std::uint8_t { Yes, TimedOut, Cancelled, Failed };
// The status of a transfer, or the failure of a connection, that a wait ended.
NetStatus statusOf(Ready ready);
ConnectFailure connectFailureOf(Ready ready);

// The entries of a resolver's address list (either platform's addrinfo).
template <typename AddressInfo>
std::vector<SocketAddress> addressesOf(const AddressInfo* list) {
  std::vector<SocketAddress> addresses;
  for (const AddressInfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    SocketAddress address;
    if (entry->ai_addrlen > address.bytes.size()) continue;
    std::memcpy(address.bytes.data(), entry->ai_addr, entry->ai_addrlen);
    address.length = static_cast<int>(entry->ai_addrlen);
    addresses.push_back(address);
  }
  return addresses;
}

}  // namespace detail

// The addresses of `host` (a name, or a numeric address when `numericOnly`), blocking; the
// back end's name service. None on success.
ConnectFailure resolveAddresses(const std::string& host, std::uint16_t port, bool numericOnly,
                                std::vector<SocketAddress>& addresses);

class NetSocket {
 public:
  NetSocket() = default;
  ~NetSocket();  // closes as close() does
  NetSocket(const NetSocket&) = delete;
  NetSocket& operator=(const NetSocket&) = delete;

  // Resolves `host` and connects to the first of its addresses that takes the connection.
  ConnectFailure connect(const std::string& host, std::uint16_t port, NetClock::time_point deadline,
                         const CancelEvent* cancel);
  // Sends all of `data`; `sent` tells how much went when it ends otherwise.
  NetStatus send(const std::uint8_t* data, std::size_t size, std::size_t& sent,
                 NetClock::time_point deadline, const CancelEvent* cancel);
  // Reads what has arrived, at most `capacity` bytes, after waiting for the first if need be.
  // Done means `got` > 0. With a deadline already passed it only takes what is there.
  NetStatus receive(std::uint8_t* buffer, std::size_t capacity, std::size_t& got,
                    NetClock::time_point deadline, const CancelEvent* cancel);
  // Waits until every byte sent has left this machine, where the system tells; `unsent` is
  // what had not when it ends otherwise. Done at once where the system does not tell.
  NetStatus drain(NetClock::time_point deadline, const CancelEvent* cancel, std::size_t& unsent);
  // Orderly close: what was sent still arrives, what arrived unread is dropped.
  void close();
  // Closes with a reset, so that nothing still queued reaches the server.
  void abort();
  bool isOpen() const;

 private:
  ConnectFailure connectTo(const SocketAddress& address, NetClock::time_point deadline,
                           const CancelEvent* cancel);

  std::intptr_t handle_ = -1;  // descriptor on POSIX, SOCKET on Windows
  std::intptr_t event_ = 0;    // Windows: the event the socket's network events set
};

}  // namespace quorvel
