// The Windows listing under Wine: a USB adapter entered into the device manager, and the COM
// ports that wine-serial-tests.sh registers (QUORVEL_TEST_COM_A / _B).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "engine/instrument_probe.h"
#include "serial/port_list.h"
#include "tests/serial/registered_port_device.h"

namespace quorvel {
namespace {

struct Adapter {
  const char *instance, *hardware, *port, *serial;
  std::uint16_t vendor, product;
};

// Two adapters: one with a serial number of its own, one whose instance id Windows made up.
TEST(Win32PortList, DeviceManagerPortsCarryTheirUsbIdentityInNaturalOrder) {
  const Adapter adapters[] = {
      {"USB\\VID_0403&PID_6001\\QUORVELTEST1", "USB\\VID_0403&PID_6001&REV_0600", "COM121",
       "QUORVELTEST1", 0x0403, 0x6001},
      {"USB\\VID_1A86&PID_7523\\5&2B1C3F0&0&2", "USB\\VID_1A86&PID_7523&REV_0254", "COM97", "",
       0x1A86, 0x7523},
  };
  testing::RegisteredPortDevice first(adapters[0].instance, adapters[0].port, adapters[0].hardware);
  testing::RegisteredPortDevice second(adapters[1].instance, adapters[1].port,
                                       adapters[1].hardware);
  ASSERT_TRUE(first.registered() && second.registered());
  std::vector<SerialPortInfo> ports = listSerialPorts();
  auto at = [&](const char* name) {
    return std::find_if(ports.begin(), ports.end(),
                        [&](const SerialPortInfo& p) { return p.name == name; });
  };
  for (const Adapter& adapter : adapters) {
    auto port = at(adapter.port);
    ASSERT_NE(port, ports.end()) << adapter.port;
    EXPECT_EQ(port->description, "USB Serial Port");
    EXPECT_EQ(port->usbVendorId, adapter.vendor);
    EXPECT_EQ(port->usbProductId, adapter.product);
    EXPECT_EQ(port->usbSerial, adapter.serial);
    EXPECT_EQ(port->stableId, adapter.instance);
  }
  EXPECT_LT(at("COM97"), at("COM121"));
}

TEST(Win32PortList, RegisteredPortsAreListedOnceAndPresent) {
  const char* a = std::getenv("QUORVEL_TEST_COM_A");
  const char* b = std::getenv("QUORVEL_TEST_COM_B");
  if (a == nullptr || b == nullptr) GTEST_SKIP() << "no COM ports registered";
  std::vector<SerialPortInfo> ports = listSerialPorts();
  for (const std::string name : {a, b}) {
    EXPECT_EQ(std::count_if(ports.begin(), ports.end(),
                            [&](const SerialPortInfo& port) { return port.name == name; }),
              1)
        << name;
    EXPECT_FALSE(serialPortMissing(name)) << name;
  }
  EXPECT_TRUE(serialPortMissing("COM250"));
  EXPECT_FALSE(serialPortMissing("\\\\.\\QUORVEL"));  // not a COM name: the open decides
  DiscardTraces quiet;
  EXPECT_EQ(probeInstruments({"COM250"}, quiet).front().status, ProbeStatus::Missing);
}

}  // namespace
}  // namespace quorvel
