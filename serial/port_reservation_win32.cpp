#include <windows.h>

#include "platform/utf16.h"
#include "serial/port_list.h"
#include "serial/port_reservation.h"

namespace quorvel::detail {

// The mark is a named mutex in the Global namespace, seen by every session and user: it
// exists while a handle of it is open, and the system closes the handles of a process that
// ends. Another user's mutex cannot be opened with the default rights (access denied): that
// too means busy.
constexpr const char* kKeyPrefix = "Global\\quorvel-upgrade-port-";
// A network port name needs no reservation: its server takes one client at a time.
constexpr std::string_view kNetworkNameMark = "://";

// Keyed on the COM name as the system compares it ("\\.\com3" is COM3).
std::optional<std::string> reservationKey(std::string_view portName) {
  if (portName.empty() || portName.find(kNetworkNameMark) != std::string_view::npos) {
    return std::nullopt;
  }
  std::string key = kKeyPrefix + portIdentity(portName);
  for (std::size_t i = std::string_view(kKeyPrefix).size(); i < key.size(); ++i) {
    if (key[i] == '\\') key[i] = '/';  // a backslash would name another namespace
  }
  return key;
}

MachineLock lockMachineWide(const std::string& key, std::intptr_t& handle) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, widened(key).c_str());
  const DWORD error = GetLastError();
  if (mutex == nullptr) {
    return error == ERROR_ACCESS_DENIED ? MachineLock::Busy : MachineLock::Unavailable;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return MachineLock::Busy;
  }
  handle = reinterpret_cast<std::intptr_t>(mutex);
  return MachineLock::Taken;
}

void unlockMachineWide(std::intptr_t handle) {
  CloseHandle(reinterpret_cast<HANDLE>(handle));
}

}  // namespace quorvel::detail
