#include "serial/network_port.h"
#include "serial/network_port_name.h"
#include "serial/serial_port.h"
#include "serial/trace.h"

// The part of SerialPort that is the same on every platform: the choice of the network back
// end by the port's name, and its open and close.
namespace quorvel {

std::optional<bool> SerialPort::openIfNetworkPort(const char* name, std::uint32_t baud) {
  if (!isNetworkPortName(name)) {
    network_.reset();
    return std::nullopt;
  }
  network_ = std::make_unique<NetworkPort>(name);
  if (!network_->open(baud, cancelEvent_)) {
    openFailure_ = OpenFailure::Other;
    return false;
  }
  openFailure_ = OpenFailure::None;
  isOpen_ = 1;
  trace(0, "\nSerial port %s opened at %dbds\n", name, static_cast<int>(baud));
  return true;
}

bool SerialPort::closeNetworkPort() {
  network_->close(cancelEvent_);
  trace(0, "\nSerial port closed\n");
  isOpen_ = 0;
  return true;
}

const char* SerialPort::openFailureReason() const {
  if (network_ == nullptr || isOpen_ != 0 || *network_->failureReason() == '\0') return nullptr;
  return network_->failureReason();
}

}  // namespace quorvel
