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
using Attributes = std::map<std::string, std::string>;

const fs::path kHub = "devices/pci0000:00/0000:00:14.0/usb1";
const fs::path kRoot = fs::temp_directory_path() / ("quorvel-sysfs-" + std::to_string(getpid()));
const fs::path kSys = kRoot / "sys";
const fs::path kDev = kRoot / "dev";

void attributes(const fs::path& dir, const Attributes& values) {
  fs::create_directories(kSys / dir);
  for (const auto& [name, value] : values) std::ofstream(kSys / dir / name) << value << "\n";
}

// A tty below `device` (none: a virtual terminal), with a node in /dev unless `node` is false.
void tty(const std::string& name, const fs::path& device, Attributes values = {},
         bool node = true) {
  fs::path dir = (device.empty() ? fs::path("devices/virtual") : device) / "tty" / name;
  attributes(dir, values);
  if (!device.empty()) fs::create_directory_symlink("../..", kSys / dir / "device");
  fs::create_directories(kSys / "class" / "tty");
  fs::create_directory_symlink("../.." / dir, kSys / "class" / "tty" / name);
  fs::create_directories(kDev / "serial");
  if (node) std::ofstream(kDev / name).put('\0');
}

void devLink(const std::string& kind, const std::string& link, const std::string& target) {
  fs::create_directories(kDev / "serial" / kind);
  fs::create_symlink("../../" + target, kDev / "serial" / kind / link);
}

TEST(SysfsPortList, ListsRealPortsWithTheirUsbIdentityInNaturalOrder) {
  fs::remove_all(kRoot);
  // A USB-serial converter: its tty hangs below an interface of the USB device.
  attributes(kHub / "1-2", {{"idVendor", "0403"},
                            {"idProduct", "6001"},
                            {"serial", "A50285BI"},
                            {"manufacturer", "FTDI"},
                            {"product", "FT232R USB UART"}});
  tty("ttyUSB0", kHub / "1-2/1-2:1.0/ttyUSB0");
  devLink("by-id", "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
  // A CDC ACM device is the interface itself; no serial number, no product name.
  attributes(kHub / "1-3", {{"idVendor", "2e8a"}, {"idProduct", "000a"}, {"manufacturer", "Acme"}});
  tty("ttyACM0", kHub / "1-3/1-3:1.0");
  devLink("by-path", "pci-0000:00:14.0-usb-0:3:1.0", "ttyACM0");
  // UART slots of the serial core: type 0 means that no UART answered there.
  tty("ttyS0", "devices/pnp0/00:05", {{"type", "4"}});
  tty("ttyS1", "devices/platform/serial8250", {{"type", "0"}});
  tty("ttyS2", "devices/platform/serial8250", {{"type", "4"}});
  tty("ttyS10", "devices/platform/serial8250", {{"type", "4"}});
  // Neither a virtual terminal nor a port without a node can be opened.
  tty("tty0", "");
  tty("ttyUSB1", kHub / "1-2/1-2:1.1/ttyUSB1", {}, false);
  // The kernel's consoles: ttyS0 by its device number (its node leads to a real device),
  // ttyS2 by its name alone, as kernels without the number column give it.
  fs::remove(kDev / "ttyS0");
  fs::create_symlink("/dev/null", kDev / "ttyS0");
  std::ofstream(kRoot / "consoles") << "tty0                 -WU (EC p  )    4:1\n"
                                       "ttyS0                -W- (EC p a)    1:3\n"
                                       "ttyS2                -W- (E  p a)\n";

  struct Expected {
    std::string node, description;
    std::optional<std::uint16_t> vendor, product;
    std::string serial, stableLink;
    bool console = false;
  };
  const Expected expected[] = {
      {"ttyACM0", "Acme", 0x2e8a, 0x000a, "", "by-path/pci-0000:00:14.0-usb-0:3:1.0"},
      {"ttyS0", "Serial port", {}, {}, "", "", true},
      {"ttyS2", "Serial port", {}, {}, "", "", true},
      {"ttyS10", "Serial port", {}, {}, "", ""},
      {"ttyUSB0", "FT232R USB UART", 0x0403, 0x6001, "A50285BI",
       "by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
  };
  std::vector<SerialPortInfo> ports = listSysfsSerialPorts(kSys, kDev, kRoot / "consoles");
  fs::remove_all(kRoot);
  ASSERT_EQ(ports.size(), std::size(expected));
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const Expected& e = expected[i];
    EXPECT_EQ(ports[i].name, (kDev / e.node).string());
    EXPECT_EQ(ports[i].description, e.description) << e.node;
    EXPECT_EQ(ports[i].usbVendorId, e.vendor) << e.node;
    EXPECT_EQ(ports[i].usbProductId, e.product) << e.node;
    EXPECT_EQ(ports[i].usbSerial, e.serial) << e.node;
    EXPECT_EQ(ports[i].stableId,
              e.stableLink.empty() ? "" : (kDev / "serial" / e.stableLink).string());
    EXPECT_EQ(ports[i].isConsole, e.console) << e.node;
  }
  EXPECT_TRUE(listSysfsSerialPorts(kRoot / "none", kRoot / "none", kRoot / "none").empty());
}

}  // namespace
}  // namespace quorvel
