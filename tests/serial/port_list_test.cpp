// The text rules of the port listing: natural order, and the identities Windows gives.
#include <gtest/gtest.h>

#include <algorithm>

#include "serial/port_list.h"

namespace quorvel {
namespace {

TEST(PortList, NamesSortWithTheirNumbersAsNumbers) {
  const std::vector<std::string> sorted = {
      "/dev/ttyACM0", "/dev/ttyS2", "/dev/ttyS10", "/dev/ttyUSB0", "/dev/ttyUSB9", "/dev/ttyUSB10",
      "COM2",         "COM9",       "COM10",       "COM010a",      "COM10b",       "COM100"};
  std::vector<std::string> shuffled(sorted.rbegin(), sorted.rend());
  std::sort(shuffled.begin(), shuffled.end(), naturalLess);
  EXPECT_EQ(shuffled, sorted);
  EXPECT_FALSE(naturalLess("COM1", "COM1"));
  EXPECT_TRUE(naturalLess("COM", "COM1"));
  // A run longer than any integer still compares by value.
  EXPECT_TRUE(naturalLess("x99999999999999999999999", "x100000000000000000000000"));
}

TEST(PortList, ReadsTheWindowsDeviceIdentities) {
  struct Case {
    const char* id;
    bool usb;
    std::uint16_t vendor, product;
    const char* serial;
  };
  const Case cases[] = {
      {"USB\\VID_0403&PID_6001\\A5XK3RJT", true, 0x0403, 0x6001, "A5XK3RJT"},
      {"USB\\VID_067B&PID_2303&REV_0300", true, 0x067B, 0x2303, ""},
      {"usb\\vid_1a86&pid_7523\\5&2B1C3F0&0&2", true, 0x1A86, 0x7523, ""},  // a made-up serial
      {"FTDIBUS\\VID_0403+PID_6015+DN01ABCDA\\0000", true, 0x0403, 0x6015, ""},
      {"ACPI\\PNP0501\\1", false, 0, 0, ""},
      {"USB\\VID_04G3&PID_6001\\X", false, 0, 0, "X"},
      {"USB\\VID_0403", false, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    EXPECT_EQ(detail::parseUsbIds(c.id, vendor, product), c.usb);
    if (c.usb) {
      EXPECT_EQ(vendor, c.vendor);
      EXPECT_EQ(product, c.product);
    }
    EXPECT_EQ(detail::usbSerialFromInstanceId(c.id), c.serial);
  }
  EXPECT_EQ(detail::withoutPortSuffix("USB Serial Port (COM3)", "COM3"), "USB Serial Port");
  EXPECT_EQ(detail::withoutPortSuffix("Communications Port (COM1)", "COM12"),
            "Communications Port (COM1)");
  EXPECT_EQ(detail::withoutPortSuffix("(COM3)", "COM3"), "(COM3)");
}

}  // namespace
}  // namespace quorvel
