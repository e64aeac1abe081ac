// The Linux listing over a fake sysfs and /dev laid out as the kernel and udev lay them out:
// class entries and device links are relative symlinks into the device tree.
#include "serial/port_list_sysfs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>

namespace quorvel {
namespace {

namespace fs = std::filesystem;

const fs::path kUsbHub = "devices/pci0000:00/0000:00:14.0/usb1";

class FakeSystem {
 public:
  FakeSystem() : root_(fs::temp_directory_path() / ("quorvel-sysfs-" + std::to_string(getpid()))) {
    fs::remove_all(root_);
    fs::create_directories(sys() / "class" / "tty");
    fs::create_directories(dev());
  }
  ~FakeSystem() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  fs::path sys() const { return root_ / "sys"; }
  fs::path dev() const { return root_ / "dev"; }

  void attributes(const fs::path& dir, const std::map<std::string, std::string>& values) const {
    fs::create_directories(sys() / dir);
    for (const auto& [name, value] : values) std::ofstream(sys() / dir / name) << value << "\n";
  }

  // A tty below `deviceDir` (nothing when empty: a virtual terminal), with its node in /dev
  // unless `node` is false.
  void tty(const std::string& name, const fs::path& deviceDir, bool node = true,
           const std::map<std::string, std::string>& ttyAttributes = {}) const {
    fs::path classDir =
        (deviceDir.empty() ? fs::path("devices/virtual") : deviceDir) / "tty" / name;
    attributes(classDir, ttyAttributes);
    if (!deviceDir.empty()) fs::create_directory_symlink("../..", sys() / classDir / "device");
    fs::create_directory_symlink(fs::path("../..") / classDir, sys() / "class" / "tty" / name);
    if (node) std::ofstream(dev() / name).put('\0');
  }

  void devLink(const std::string& kind, const std::string& link, const std::string& target) const {
    fs::create_directories(dev() / "serial" / kind);
    fs::create_symlink(fs::path("../..") / target, dev() / "serial" / kind / link);
  }

 private:
  fs::path root_;
};

struct Expected {
  std::string node;
  std::string description;
  std::optional<std::uint16_t> vendor;
  std::optional<std::uint16_t> product;
  std::string serial;
  std::string stableLink;  // below dev/serial
};

TEST(SysfsPortList, ListsRealPortsWithTheirUsbIdentityInNaturalOrder) {
  FakeSystem fake;
  // A USB-serial converter: its tty hangs below an interface of the USB device.
  fake.attributes(kUsbHub / "1-2", {{"idVendor", "0403"},
                                    {"idProduct", "6001"},
                                    {"serial", "A50285BI"},
                                    {"manufacturer", "FTDI"},
                                    {"product", "FT232R USB UART"}});
  fake.tty("ttyUSB0", kUsbHub / "1-2/1-2:1.0/ttyUSB0");
  fake.devLink("by-id", "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
  // A CDC ACM device is the interface itself; no serial number, no product name.
  fake.attributes(kUsbHub / "1-3",
                  {{"idVendor", "2e8a"}, {"idProduct", "000a"}, {"manufacturer", "Acme"}});
  fake.tty("ttyACM0", kUsbHub / "1-3/1-3:1.0");
  fake.devLink("by-path", "pci-0000:00:14.0-usb-0:3:1.0", "ttyACM0");
  // UART slots of the serial core: type 0 means that no UART answered there.
  fake.tty("ttyS0", "devices/pnp0/00:05", true, {{"type", "4"}});
  fake.tty("ttyS1", "devices/platform/serial8250", true, {{"type", "0"}});
  fake.tty("ttyS2", "devices/platform/serial8250", true, {{"type", "4"}});
  fake.tty("ttyS10", "devices/platform/serial8250", true, {{"type", "4"}});
  // Neither a virtual terminal nor a port without a node can be opened.
  fake.tty("tty0", "");
  fake.attributes(kUsbHub / "1-4", {{"idVendor", "067b"}, {"idProduct", "2303"}});
  fake.tty("ttyUSB1", kUsbHub / "1-4/1-4:1.0/ttyUSB1", false);

  const Expected expected[] = {
      {"ttyACM0", "Acme", 0x2e8a, 0x000a, "", "by-path/pci-0000:00:14.0-usb-0:3:1.0"},
      {"ttyS0", "Serial port", std::nullopt, std::nullopt, "", ""},
      {"ttyS2", "Serial port", std::nullopt, std::nullopt, "", ""},
      {"ttyS10", "Serial port", std::nullopt, std::nullopt, "", ""},
      {"ttyUSB0", "FT232R USB UART", 0x0403, 0x6001, "A50285BI",
       "by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
  };
  std::vector<SerialPortInfo> ports = listSysfsSerialPorts(fake.sys(), fake.dev());
  ASSERT_EQ(ports.size(), std::size(expected));
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const Expected& e = expected[i];
    SCOPED_TRACE(e.node);
    EXPECT_EQ(ports[i].name, (fake.dev() / e.node).string());
    EXPECT_EQ(ports[i].description, e.description);
    EXPECT_EQ(ports[i].usbVendorId, e.vendor);
    EXPECT_EQ(ports[i].usbProductId, e.product);
    EXPECT_EQ(ports[i].usbSerial, e.serial);
    EXPECT_EQ(ports[i].stableId,
              e.stableLink.empty() ? "" : (fake.dev() / "serial" / e.stableLink).string());
  }
}

TEST(SysfsPortList, NoSysfsMeansNoPorts) {
  EXPECT_TRUE(listSysfsSerialPorts("/nonexistent/sys", "/nonexistent/dev").empty());
}

}  // namespace
}  // namespace quorvel
