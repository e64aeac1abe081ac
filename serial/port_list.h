#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The serial ports present on this machine, for a technician who does not know which name
// the adapter got. One back end per platform: sysfs on Linux, SetupAPI and the registry on
// Windows, a look into /dev elsewhere.
namespace quorvel {

struct SerialPortInfo {
  std::string name;                           // what opens it: "/dev/ttyUSB0", "COM3"
  std::string description;                    // what the system calls it, e.g. the USB product name
  std::optional<std::uint16_t> usbVendorId;   // absent when the port is not on USB
  std::optional<std::uint16_t> usbProductId;  // absent when the port is not on USB
  std::string usbSerial;                      // empty when unknown
  // A name that stays with the device when it is plugged elsewhere or enumerated in
  // another order (a /dev/serial/by-id link, the Windows device instance); may be empty.
  std::string stableId;
  // The system writes its console to this port (Linux: it is in /proc/consoles): a probe
  // would write into the console, so only a port named by the user is probed there.
  bool isConsole = false;
};

// The present serial ports in natural order of their names (COM2 before COM10). Reading
// the system's lists only: no port is opened.
std::vector<SerialPortInfo> listSerialPorts();

// True when `name` (as given to SerialPort::open) certainly leads to no device, so the
// user can be told at once instead of after the erase warning. Opens nothing.
bool serialPortMissing(std::string_view name);

// What `name` leads to, the same for every name of one device, so that two names of it can
// be told: on POSIX the device number of a device node (whatever links or second nodes lead
// to it), else the resolved path; the upper-case COM name on Windows. `name` as it is when it
// cannot be resolved. Opens nothing.
std::string portIdentity(std::string_view name);

// Orders names with their digit runs compared as numbers: "ttyS2" < "ttyS10".
bool naturalLess(std::string_view a, std::string_view b);
void sortByName(std::vector<SerialPortInfo>& ports);

}  // namespace quorvel
