// The Windows listing and probe under Wine: a USB adapter entered into the device manager,
// the COM ports that wine-serial-tests.sh registers (QUORVEL_TEST_COM_A / _B, a linked pair),
// and the probe over that pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "engine/instrument_probe.h"
#include "platform/timing.h"
#include "serial/port_list.h"
#include "serial/serial_port.h"
#include "tests/serial/registered_port_device.h"

namespace quorvel {
namespace {

constexpr const char* kAdapterInstance = "USB\\VID_0403&PID_6001\\QUORVELTEST1";
constexpr const char* kAdapterPort = "COM21";
constexpr const char* kUnmappedPort = "COM250";

const SerialPortInfo* find(const std::vector<SerialPortInfo>& ports, const std::string& name) {
  auto found = std::find_if(ports.begin(), ports.end(),
                            [&](const SerialPortInfo& port) { return port.name == name; });
  return found == ports.end() ? nullptr : &*found;
}

TEST(Win32PortList, DeviceManagerPortsCarryTheirUsbIdentity) {
  testing::RegisteredPortDevice adapter(kAdapterInstance, kAdapterPort,
                                        "USB\\VID_0403&PID_6001&REV_0600");
  ASSERT_TRUE(adapter.registered());
  std::vector<SerialPortInfo> ports = listSerialPorts();
  const SerialPortInfo* port = find(ports, kAdapterPort);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->description, "USB Serial Port");
  EXPECT_EQ(port->usbVendorId, 0x0403);
  EXPECT_EQ(port->usbProductId, 0x6001);
  EXPECT_EQ(port->usbSerial, "QUORVELTEST1");
  EXPECT_EQ(port->stableId, kAdapterInstance);
  EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
    return naturalLess(a.name, b.name);
  }));
}

class Win32LinkedPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* a = std::getenv("QUORVEL_TEST_COM_A");
    const char* b = std::getenv("QUORVEL_TEST_COM_B");
    if (a == nullptr || b == nullptr) GTEST_SKIP() << "no linked COM ports registered";
    nameA = a;
    nameB = b;
  }
  std::string nameA, nameB;
};

TEST_F(Win32LinkedPorts, RegisteredPortsAreListedOnceAndPresent) {
  std::vector<SerialPortInfo> ports = listSerialPorts();
  for (const std::string& name : {nameA, nameB}) {
    EXPECT_EQ(std::count_if(ports.begin(), ports.end(),
                            [&](const SerialPortInfo& port) { return port.name == name; }),
              1)
        << name;
    EXPECT_FALSE(serialPortMissing(name)) << name;
  }
  EXPECT_TRUE(serialPortMissing(kUnmappedPort));
  EXPECT_FALSE(serialPortMissing("\\\\.\\QUORVEL"));  // not a COM name: the open decides
}

// The far end answers the read request on the other port of the pair.
TEST_F(Win32LinkedPorts, ProbeSendsTheReadRequestAndReadsTheAnswer) {
  ScopedTimingScale fast(4);
  SerialPort instrument;
  ASSERT_TRUE(instrument.open(nameB.c_str(), 9600));
  std::string request(17, '\0');
  std::thread peer([&] {
    auto* bytes = reinterpret_cast<std::uint8_t*>(request.data());
    request.resize(instrument.read(bytes, 17, 5000));
    const std::string answer = ":0103020100F9\r\n";
    instrument.write(reinterpret_cast<const std::uint8_t*>(answer.data()), 15);
  });
  DiscardTraces quiet;
  std::vector<ProbeResult> results = probeInstruments({nameA, kUnmappedPort}, quiet);
  peer.join();
  EXPECT_EQ(request, ":0103001C0001DF\r\n");
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].status, ProbeStatus::Answered);
  EXPECT_EQ(results[0].registerValue, 0x0100);
  EXPECT_EQ(results[1].status, ProbeStatus::Missing);
}

}  // namespace
}  // namespace quorvel
