#include "serial/port_name.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvel {
namespace {

struct NameCase {
  const char* name;
  const char* posixPath;
  const char* win32Path;
};

const NameCase kNameCases[] = {
    {"COM1", "/dev/ttyS0", "\\\\.\\COM1"},
    {"COM3", "/dev/ttyS2", "\\\\.\\COM3"},
    {"COM9", "/dev/ttyS8", "\\\\.\\COM9"},
    {"COM10", "/dev/ttyS9", "\\\\.\\COM10"},
    {"COM256", "/dev/ttyS255", "\\\\.\\COM256"},
    {"com4", "/dev/ttyS3", "\\\\.\\com4"},
    // Not of the form COMn: passed through unchanged.
    {"/dev/ttyUSB0", "/dev/ttyUSB0", "/dev/ttyUSB0"},
    {"\\\\.\\COM5", "\\\\.\\COM5", "\\\\.\\COM5"},
    {"COM", "COM", "COM"},
    {"COM0", "COM0", "COM0"},
    {"COM05", "COM05", "COM05"},
    {"COM1000", "COM1000", "COM1000"},
    {"COM1a", "COM1a", "COM1a"},
    {"COM-1", "COM-1", "COM-1"},
    {"XCOM1", "XCOM1", "XCOM1"},
    {"LPT1", "LPT1", "LPT1"},
    {"", "", ""},
};

TEST(PortNameTest, MapsComNamesAndPassesOthersThrough) {
  for (const NameCase& c : kNameCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(posixDevicePath(c.name), c.posixPath);
    EXPECT_EQ(win32DevicePath(c.name), c.win32Path);
  }
}

TEST(PortNameTest, HighestComNumberIsMapped) {
  std::string highest = "COM" + std::to_string(kHighestComPortNumber);
  EXPECT_EQ(posixDevicePath(highest), "/dev/ttyS" + std::to_string(kHighestComPortNumber - 1));
  EXPECT_EQ(win32DevicePath(highest), "\\\\.\\" + highest);
}

}  // namespace
}  // namespace quorvel
