#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "serial/port_name.h"
#include "serial/port_reservation.h"

namespace quorvel::detail {

// The mark is a Unix socket bound to a name in the abstract namespace (Linux): the name is
// the machine's for any user while the socket lives, no file is left anywhere, and the socket
// goes with the last descriptor of it, so with its process. The namespace belongs to the
// network namespace: processes in containers of their own do not see each other's marks.
// Systems without it refuse the bind: the reservation then holds within the process.
constexpr const char* kKeyPrefix = "quorvel-upgrade/port/";

// Keyed on the device number, so that every name of the device (a link, a second node) gives
// the same key. A name that does not lead to a character device has none: a network port
// name, which needs no reservation since its server takes one client at a time, or a name the
// open will refuse.
std::optional<std::string> reservationKey(std::string_view portName) {
  struct stat info {};
  if (::stat(posixDevicePath(portName).c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
    return std::nullopt;
  }
  return kKeyPrefix + std::to_string(major(info.st_rdev)) + ":" +
         std::to_string(minor(info.st_rdev));
}

MachineLock lockMachineWide(const std::string& key, std::intptr_t& handle) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (key.size() + 1 > sizeof address.sun_path) return MachineLock::Unavailable;
  std::memcpy(address.sun_path + 1, key.data(), key.size());  // sun_path[0] = 0: abstract
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return MachineLock::Unavailable;
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + key.size());
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
    handle = fd;
    return MachineLock::Taken;
  }
  const int error = errno;
  ::close(fd);
  return error == EADDRINUSE ? MachineLock::Busy : MachineLock::Unavailable;
}

void unlockMachineWide(std::intptr_t handle) {
  ::close(static_cast<int>(handle));
}

}  // namespace quorvel::detail
