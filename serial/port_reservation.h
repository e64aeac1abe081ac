#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

enum class ReservationStatus {
  Granted,  // the port is this object's (or its name takes no reservation, see reserve())
  Busy,     // another run holds it: another process of any user, or a probe of this one
};

// Marks a serial port as taken by one upgrade for as long as the object holds it, for every
// process of the machine and every user, whether or not a descriptor of the port is open (an
// upgrade closes the port between its two speeds). It goes with its process, however that
// ends, SIGKILL included, and is keyed on the device: two names of one device are one
// reservation. Within one process the reservations of runs nest, so that the command line can
// hold one from its port check on while the downloader takes one for its run.
class PortReservation {
 public:
  enum class Use {
    Run,    // an upgrade: shares the port with the other runs of this process
    Probe,  // a probe: only while nobody, this process included, holds the port
  };

  PortReservation() = default;
  ~PortReservation() { release(); }
  PortReservation(PortReservation&& other) noexcept : key_(std::move(other.key_)) {
    other.key_.clear();
  }
  PortReservation& operator=(PortReservation&& other) noexcept;

  // Gives up what this object held, then reserves `portName`. A name that leads to no local
  // serial device (a network port, a path to something else, which the open refuses) has
  // nothing to reserve: Granted, and holds() stays false. Where the system offers no
  // machine-wide mark, the reservation holds within this process only.
  ReservationStatus reserve(std::string_view portName, Use use);
  void release();
  bool holds() const { return !key_.empty(); }

 private:
  std::string key_;
};

namespace detail {

// What one back end provides: the machine-wide name of the device `portName` leads to (none:
// nothing to reserve), and a mark under that name, held through `handle` until unlocked.
std::optional<std::string> reservationKey(std::string_view portName);
enum class MachineLock { Taken, Busy, Unavailable };
MachineLock lockMachineWide(const std::string& key, std::intptr_t& handle);
void unlockMachineWide(std::intptr_t handle);

}  // namespace detail

}  // namespace quorvel
