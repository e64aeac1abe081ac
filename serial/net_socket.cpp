#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "serial/net_socket.h"

namespace quorvel {
namespace {

// A name service that does not answer cannot be interrupted: the look-up runs on a thread of
// its own, and the caller looks at the cancel event this often while it waits.
constexpr std::chrono::milliseconds kLookupCancelCheck{20};

struct Lookup {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  ConnectFailure failure = ConnectFailure::NotResolved;
  std::vector<SocketAddress> addresses;
};

// The look-up thread owns its share of the state: when the caller stops waiting (cancel, or
// the time is up), the thread finishes on its own and nothing it touches goes away.
void lookUp(const std::shared_ptr<Lookup>& lookup, const std::string& host, std::uint16_t port) {
  std::vector<SocketAddress> addresses;
  const ConnectFailure failure = resolveAddresses(host, port, false, addresses);
  std::lock_guard lock(lookup->mutex);
  lookup->failure = failure;
  lookup->addresses = std::move(addresses);
  lookup->done = true;
  lookup->finished.notify_all();
}

ConnectFailure resolveWithin(const std::string& host, std::uint16_t port,
                             NetClock::time_point deadline, const CancelEvent* cancel,
                             std::vector<SocketAddress>& addresses) {
  // An address given as digits needs no name service.
  if (resolveAddresses(host, port, true, addresses) == ConnectFailure::None) {
    return ConnectFailure::None;
  }
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host, port] { lookUp(lookup, host, port); }).detach();
  } catch (const std::system_error&) {
    return resolveAddresses(host, port, false, addresses);  // no thread: wait for it here
  }
  std::unique_lock lock(lookup->mutex);
  while (!lookup->done) {
    if (cancel != nullptr && cancel->isSignalled()) return ConnectFailure::Cancelled;
    const NetClock::time_point now = NetClock::now();
    if (now >= deadline) return ConnectFailure::NotResolved;
    lookup->finished.wait_until(lock, std::min(deadline, now + kLookupCancelCheck));
  }
  addresses = std::move(lookup->addresses);
  return lookup->failure;
}

}  // namespace

namespace detail {

NetStatus statusOf(Ready ready) {
  switch (ready) {
    case Ready::TimedOut:
      return NetStatus::TimedOut;
    case Ready::Cancelled:
      return NetStatus::Cancelled;
    default:
      return NetStatus::Failed;
  }
}

ConnectFailure connectFailureOf(Ready ready) {
  switch (ready) {
    case Ready::TimedOut:
      return ConnectFailure::TimedOut;
    case Ready::Cancelled:
      return ConnectFailure::Cancelled;
    default:
      return ConnectFailure::Failed;
  }
}

}  // namespace detail

NetSocket::~NetSocket() {
  close();
}

// Each address in turn within the one deadline; a refusal or an unreachable address moves
// on to the next, and the last such failure is the one reported.
ConnectFailure NetSocket::connect(const std::string& host, std::uint16_t port,
                                  NetClock::time_point deadline, const CancelEvent* cancel) {
  close();
  std::vector<SocketAddress> addresses;
  ConnectFailure failure = resolveWithin(host, port, deadline, cancel, addresses);
  if (failure != ConnectFailure::None) return failure;
  failure = ConnectFailure::NotResolved;
  for (const SocketAddress& address : addresses) {
    failure = connectTo(address, deadline, cancel);
    if (failure == ConnectFailure::None || failure == ConnectFailure::TimedOut ||
        failure == ConnectFailure::Cancelled) {
      break;
    }
  }
  return failure;
}

}  // namespace quorvel
