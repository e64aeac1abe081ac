#include "serial/port_reservation.h"

#include <map>
#include <mutex>

namespace quorvel {
namespace {

constexpr std::intptr_t kNoHandle = -1;

// The reservations this process holds, by key: the machine-wide mark is made by the first
// and given up by the last.
struct Holding {
  std::intptr_t handle = kNoHandle;
  int count = 0;
  bool probe = false;
};

struct Registry {
  std::mutex mutex;
  std::map<std::string, Holding> held;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

PortReservation& PortReservation::operator=(PortReservation&& other) noexcept {
  if (this != &other) {
    release();
    key_ = std::move(other.key_);
    other.key_.clear();
  }
  return *this;
}

ReservationStatus PortReservation::reserve(std::string_view portName, Use use) {
  release();
  std::optional<std::string> key = detail::reservationKey(portName);
  if (!key) return ReservationStatus::Granted;
  const bool probe = use == Use::Probe;
  Registry& reservations = registry();
  std::lock_guard lock(reservations.mutex);
  if (auto found = reservations.held.find(*key); found != reservations.held.end()) {
    if (probe || found->second.probe) return ReservationStatus::Busy;
    ++found->second.count;
  } else {
    std::intptr_t handle = kNoHandle;
    const detail::MachineLock mark = detail::lockMachineWide(*key, handle);
    if (mark == detail::MachineLock::Busy) return ReservationStatus::Busy;
    if (mark != detail::MachineLock::Taken) handle = kNoHandle;
    reservations.held.emplace(*key, Holding{handle, 1, probe});
  }
  key_ = std::move(*key);
  return ReservationStatus::Granted;
}

void PortReservation::release() {
  if (key_.empty()) return;
  Registry& reservations = registry();
  std::lock_guard lock(reservations.mutex);
  if (auto found = reservations.held.find(key_);
      found != reservations.held.end() && --found->second.count == 0) {
    if (found->second.handle != kNoHandle) detail::unlockMachineWide(found->second.handle);
    reservations.held.erase(found);
  }
  key_.clear();
}

}  // namespace quorvel
