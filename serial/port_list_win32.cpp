#include <windows.h>
// Before devguid.h, so that the device class GUIDs are defined in this file.
#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <string>
#include <utility>

#include "platform/utf16.h"
#include "serial/network_port_name.h"
#include "serial/port_list.h"
#include "serial/port_name.h"

namespace quorvel {
namespace {

constexpr const wchar_t* kSerialCommKey = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr const wchar_t* kPortNameValue = L"PortName";
constexpr const char* kPrinterPortPrefix = "LPT";
// Registry names and values of ports are short; longer ones are cut, never overrun.
constexpr DWORD kTextChars = 512;

constexpr std::size_t kUsbIdDigits = 4;

// What the system gives is read wide and kept as UTF-8, whatever the system's code page.
using Text = std::array<wchar_t, kTextChars>;

char upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Case-insensitive position of `key` in `text`, npos when absent.
std::size_t findKey(std::string_view text, std::string_view key) {
  for (std::size_t at = 0; at + key.size() <= text.size(); ++at) {
    bool same = true;
    for (std::size_t i = 0; i < key.size() && same; ++i) same = upper(text[at + i]) == key[i];
    if (same) return at;
  }
  return std::string_view::npos;
}

bool hexFieldAfter(std::string_view id, std::string_view key, std::uint16_t& value) {
  std::size_t at = findKey(id, key);
  if (at == std::string_view::npos) return false;
  std::string_view digits = id.substr(at + key.size());
  if (digits.size() < kUsbIdDigits) return false;
  const char* first = digits.data();
  auto [end, error] = std::from_chars(first, first + kUsbIdDigits, value, 16);
  return error == std::errc() && end == first + kUsbIdDigits;
}

// VID_xxxx and PID_xxxx of a hardware or instance id (USB\VID_0403&PID_6001&REV_0600,
// FTDIBUS\VID_0403+PID_6001+A50285BIA\0000); false when either is not there.
bool parseUsbIds(std::string_view id, std::uint16_t& vendor, std::uint16_t& product) {
  std::uint16_t foundVendor = 0;
  std::uint16_t foundProduct = 0;
  if (!hexFieldAfter(id, "VID_", foundVendor) || !hexFieldAfter(id, "PID_", foundProduct)) {
    return false;
  }
  vendor = foundVendor;
  product = foundProduct;
  return true;
}

// The serial number a USB device instance id ends with (USB\VID_0403&PID_6001\A5XK3RJT);
// empty when Windows made the last part up itself (it then holds '&') or the id is not USB.
std::string usbSerialFromInstanceId(std::string_view instanceId) {
  constexpr std::string_view kUsbBus = "USB\\";
  if (findKey(instanceId, kUsbBus) != 0) return {};
  std::size_t lastSeparator = instanceId.rfind('\\');
  std::string_view last = instanceId.substr(lastSeparator + 1);
  if (lastSeparator < kUsbBus.size() || last.empty() || last.find('&') != std::string_view::npos) {
    return {};
  }
  return std::string(last);
}

// "USB Serial Port (COM3)" -> "USB Serial Port": the port name is shown on its own.
std::string withoutPortSuffix(std::string_view friendlyName, std::string_view portName) {
  std::string suffix = " (" + std::string(portName) + ")";
  if (friendlyName.size() > suffix.size() && friendlyName.ends_with(suffix)) {
    friendlyName.remove_suffix(suffix.size());
  }
  return std::string(friendlyName);
}

class DeviceInfoSet {
 public:
  explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
  ~DeviceInfoSet() {
    if (valid()) SetupDiDestroyDeviceInfoList(set_);
  }
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;

  bool valid() const { return set_ != INVALID_HANDLE_VALUE; }
  HDEVINFO get() const { return set_; }

 private:
  HDEVINFO set_;
};

class RegistryKey {
 public:
  RegistryKey() = default;
  explicit RegistryKey(HKEY key) : key_(key == INVALID_HANDLE_VALUE ? nullptr : key) {}
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  HKEY get() const { return key_; }
  HKEY* receive() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

constexpr DWORD kTextBytes = (kTextChars - 1) * sizeof(wchar_t);

// The text up to its first terminator (a REG_MULTI_SZ gives its first string), as UTF-8; the
// buffer keeps a terminator of its own whatever the system wrote.
std::string textOf(Text& buffer, DWORD chars) {
  buffer[std::min<DWORD>(chars, kTextChars - 1)] = L'\0';
  return narrowed(buffer.data());
}

std::string registryString(HKEY key, const wchar_t* valueName) {
  Text buffer{};
  DWORD type = 0;
  DWORD bytes = kTextBytes;
  if (RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                       &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  return textOf(buffer, bytes / sizeof(wchar_t));
}

std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  Text buffer{};
  DWORD bytes = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr,
                                         reinterpret_cast<BYTE*>(buffer.data()), kTextBytes,
                                         &bytes)) {
    return {};
  }
  return textOf(buffer, bytes / sizeof(wchar_t));
}

std::string deviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA& device) {
  Text buffer{};
  if (!SetupDiGetDeviceInstanceIdW(set, &device, buffer.data(), kTextChars - 1, nullptr)) return {};
  return textOf(buffer, kTextChars - 1);
}

bool sameName(const std::string& a, const std::string& b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, widened(a).c_str(), -1,
                        widened(b).c_str(), -1) == CSTR_EQUAL;
}

void describeUsb(const std::string& hardwareId, const std::string& instanceId,
                 SerialPortInfo& port) {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  if (parseUsbIds(hardwareId, vendor, product) || parseUsbIds(instanceId, vendor, product)) {
    port.usbVendorId = vendor;
    port.usbProductId = product;
  }
  port.usbSerial = usbSerialFromInstanceId(instanceId);
}

// A device of the Ports class: its COM name from the device's own registry key. Printer
// ports share the class and are left out.
std::optional<SerialPortInfo> portOfDevice(HDEVINFO set, SP_DEVINFO_DATA& device) {
  RegistryKey key(SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ));
  if (key.get() == nullptr) return std::nullopt;
  SerialPortInfo port;
  port.name = registryString(key.get(), kPortNameValue);
  if (port.name.empty() || port.name.starts_with(kPrinterPortPrefix)) return std::nullopt;
  std::string friendlyName = deviceProperty(set, device, SPDRP_FRIENDLYNAME);
  if (friendlyName.empty()) friendlyName = deviceProperty(set, device, SPDRP_DEVICEDESC);
  port.description = withoutPortSuffix(friendlyName, port.name);
  port.stableId = deviceInstanceId(set, device);
  describeUsb(deviceProperty(set, device, SPDRP_HARDWAREID), port.stableId, port);
  return port;
}

std::vector<SerialPortInfo> portsOfDeviceManager() {
  std::vector<SerialPortInfo> ports;
  DeviceInfoSet set(SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT));
  if (!set.valid()) return ports;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
    if (auto port = portOfDevice(set.get(), device)) ports.push_back(std::move(*port));
  }
  return ports;
}

bool listed(const std::vector<SerialPortInfo>& ports, const std::string& name) {
  return std::any_of(ports.begin(), ports.end(),
                     [&](const SerialPortInfo& port) { return sameName(port.name, name); });
}

// The serial drivers' own register of COM names: it also holds ports the device manager
// does not show in its Ports class (virtual ports, Wine's mapped ports).
void addRegisteredPorts(std::vector<SerialPortInfo>& ports) {
  RegistryKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, key.receive()) !=
      ERROR_SUCCESS) {
    return;
  }
  for (DWORD index = 0;; ++index) {
    Text device{};
    Text name{};
    DWORD deviceChars = kTextChars - 1;
    DWORD nameBytes = kTextBytes;
    DWORD type = 0;
    LONG status = RegEnumValueW(key.get(), index, device.data(), &deviceChars, nullptr, &type,
                                reinterpret_cast<BYTE*>(name.data()), &nameBytes);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS || type != REG_SZ) continue;
    SerialPortInfo port;
    port.name = textOf(name, nameBytes / sizeof(wchar_t));
    port.description = textOf(device, deviceChars);
    if (!port.name.empty() && !listed(ports, port.name)) ports.push_back(std::move(port));
  }
}

}  // namespace

std::vector<SerialPortInfo> listSerialPorts() {
  std::vector<SerialPortInfo> ports = portsOfDeviceManager();
  addRegisteredPorts(ports);
  sortByName(ports);
  return ports;
}

bool serialPortMissing(std::string_view name) {
  // Only COM names can be looked up without opening them; the open judges the others.
  if (detail::comPortNumber(name) == 0) return false;
  std::string dosName(name);
  Text target{};
  if (QueryDosDeviceW(widened(dosName).c_str(), target.data(), kTextChars) != 0) return false;
  if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  return !listed(listSerialPorts(), dosName);
}

// "\\.\COM3", "com3" and "COM3" are one port; other names are compared in upper case,
// as the system does.
std::string portIdentity(std::string_view name) {
  if (isNetworkPortName(name)) return networkPortIdentity(name);
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  if (name.starts_with(kDevicePrefix)) name.remove_prefix(kDevicePrefix.size());
  std::string identity(name);
  for (char& c : identity) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return identity;
}

}  // namespace quorvel
