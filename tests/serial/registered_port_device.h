#pragma once

#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <string>

// A device of the Ports class entered into the device manager for the length of a test, as
// the driver of a USB serial adapter enters it: instance id, hardware id, friendly name and
// the PortName of its device key. Under Wine this makes a port present.
namespace quorvel::testing {

class RegisteredPortDevice {
 public:
  RegisteredPortDevice(const std::string& instanceId, const std::string& portName,
                       const std::string& hardwareId)
      : set_(SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr)) {
    SP_DEVINFO_DATA leftover = newInfo();  // of a test that died half-way
    if (SetupDiOpenDeviceInfoA(set_, instanceId.c_str(), nullptr, 0, &leftover)) {
      SetupDiRemoveDevice(set_, &leftover);
    }
    registered_ = SetupDiCreateDeviceInfoA(set_, instanceId.c_str(), &GUID_DEVCLASS_PORTS, nullptr,
                                           nullptr, 0, &device_) &&
                  setText(SPDRP_HARDWAREID, hardwareId + '\0') &&
                  setText(SPDRP_FRIENDLYNAME, "USB Serial Port (" + portName + ")") &&
                  SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr) &&
                  writePortName(portName);
  }
  ~RegisteredPortDevice() {
    if (registered_) SetupDiRemoveDevice(set_, &device_);
    SetupDiDestroyDeviceInfoList(set_);
  }
  RegisteredPortDevice(const RegisteredPortDevice&) = delete;
  RegisteredPortDevice& operator=(const RegisteredPortDevice&) = delete;

  bool registered() const { return registered_; }

 private:
  static SP_DEVINFO_DATA newInfo() {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    return info;
  }
  bool setText(DWORD property, const std::string& text) {
    return SetupDiSetDeviceRegistryPropertyA(set_, &device_, property,
                                             reinterpret_cast<const BYTE*>(text.c_str()),
                                             static_cast<DWORD>(text.size() + 1));
  }
  bool writePortName(const std::string& portName) {
    HKEY key =
        SetupDiCreateDevRegKeyA(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) return false;
    bool written =
        RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(portName.c_str()),
                       static_cast<DWORD>(portName.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
  }

  HDEVINFO set_;
  SP_DEVINFO_DATA device_ = newInfo();
  bool registered_ = false;
};

}  // namespace quorvel::testing
