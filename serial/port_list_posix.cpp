#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "serial/network_port_name.h"
#include "serial/port_list.h"
#include "serial/port_list_sysfs.h"
#include "serial/port_name.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSysRoot = "/sys";
constexpr const char* kDevRoot = "/dev";
constexpr const char* kConsoles = "/proc/consoles";
constexpr const char* kSerialPortText = "Serial port";

// Without sysfs (the BSDs, macOS) the call-out devices in /dev are the serial ports.
bool isCallOutDevice(const std::string& name) {
  return name.starts_with("cu.") || name.starts_with("cua");
}

std::vector<SerialPortInfo> listCallOutDevices() {
  std::vector<SerialPortInfo> ports;
  std::error_code error;
  for (fs::directory_iterator entry(kDevRoot, error), end; !error && entry != end;
       entry.increment(error)) {
    if (!isCallOutDevice(entry->path().filename().string())) continue;
    SerialPortInfo port;
    port.name = entry->path().string();
    port.description = kSerialPortText;
    ports.push_back(std::move(port));
  }
  sortByName(ports);
  return ports;
}

}  // namespace

std::vector<SerialPortInfo> listSerialPorts() {
  std::error_code error;
  if (fs::is_directory(fs::path(kSysRoot) / "class" / "tty", error)) {
    return listSysfsSerialPorts(kSysRoot, kDevRoot, kConsoles);
  }
  return listCallOutDevices();
}

bool serialPortMissing(std::string_view name) {
  if (isNetworkPortName(name)) return false;  // only a connection tells
  struct stat info {};
  if (::stat(posixDevicePath(name).c_str(), &info) == 0) return false;
  return errno == ENOENT || errno == ENOTDIR;
}

// A device node is known by its device number, so that a second node of it (made with mknod,
// or bind-mounted elsewhere) is the same port as its first; anything else by its path.
std::string portIdentity(std::string_view name) {
  if (isNetworkPortName(name)) return networkPortIdentity(name);
  const std::string path = posixDevicePath(name);
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
    return "character device " + std::to_string(major(info.st_rdev)) + ":" +
           std::to_string(minor(info.st_rdev));
  }
  std::error_code error;
  const fs::path resolved = fs::canonical(path, error);
  return error ? std::string(name) : resolved.string();
}

}  // namespace quorvel
