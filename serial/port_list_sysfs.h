#pragma once

#include <filesystem>
#include <vector>

#include "serial/port_list.h"

namespace quorvel {

// The serial ports the Linux kernel knows of: the entries of <sysRoot>/class/tty that have a
// device behind them and a node in `devRoot`. A UART slot that the serial core found empty
// (type 0, "unknown") is left out, as are virtual terminals and pseudo-terminals, which have
// no device. The ports that `consoles` (the kernel's /proc/consoles) names are marked as the
// console. Roots and files are parameters so that a fake tree can stand in for the system's.
std::vector<SerialPortInfo> listSysfsSerialPorts(const std::filesystem::path& sysRoot,
                                                 const std::filesystem::path& devRoot,
                                                 const std::filesystem::path& consoles);

}  // namespace quorvel
