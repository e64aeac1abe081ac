// A port opened as rfc2217://HOST:PORT: through ser2net to a pseudo-terminal that the test
// plays, and against servers that cannot serve.
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/cancel_event.h"
#include "platform/timing.h"
#include "serial/serial_port.h"
#include "serial/telnet_com_port.h"
#include "tests/support/device_servers.h"
#include "tests/support/pty_peer.h"

namespace quorvel {
namespace {

using testing::CannedServer;
using testing::PtyPeer;
using testing::ScratchDir;
using testing::Ser2netServer;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kModbusBaud = 9600;
constexpr std::uint32_t kTransferBaud = 115200;
// Long enough never to end a test that works; a wait that lasts this long has failed.
constexpr std::uint32_t kGenerousTimeoutMs = 5000;
constexpr int kPeerTimeoutMs = 3000;
constexpr auto kSettle = std::chrono::milliseconds(200);
constexpr auto kCancelAfter = std::chrono::milliseconds(100);

std::string readText(SerialPort& port, std::uint32_t count, std::uint32_t timeoutMs) {
  std::vector<std::uint8_t> buffer(count);
  const std::uint32_t got = port.read(buffer.data(), count, timeoutMs);
  return std::string(buffer.begin(), buffer.begin() + got);
}

std::uint32_t writeText(SerialPort& port, const std::string& text) {
  return port.write(reinterpret_cast<const std::uint8_t*>(text.data()),
                    static_cast<std::uint32_t>(text.size()));
}

// Every byte value, and runs of the one that Telnet doubles.
std::string everyByteValue() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
  bytes += std::string(300, '\xFF');
  return bytes + bytes;
}

// The speed the server set on the line, once it is `expected` (the server may answer just
// before it has applied it).
speed_t lineSpeed(int fd, speed_t expected) {
  termios settings{};
  for (int i = 0; i < 50; ++i) {
    tcgetattr(fd, &settings);
    if (cfgetospeed(&settings) == expected) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return cfgetospeed(&settings);
}

long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class NetworkPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::ser2netProgram().empty()) GTEST_SKIP() << "ser2net is not installed";
  }

  ScratchDir dir_;
  PtyPeer peer_;
};

// Each open is a connection of its own that sets the line to its speed; every byte value
// crosses both ways unchanged; a discard drops what came before it.
TEST_F(NetworkPortTest, CarriesEveryByteAtTheSpeedItSets) {
  Ser2netServer server(dir_.path(), {{peer_.slavePath()}});
  ASSERT_TRUE(server.ready()) << server.log();
  SerialPort port;
  ASSERT_TRUE(port.open(server.portName(0).c_str(), kTransferBaud));
  EXPECT_EQ(lineSpeed(peer_.slaveFd(), B115200), B115200);

  const std::string bytes = everyByteValue();
  EXPECT_EQ(writeText(port, bytes), bytes.size());
  EXPECT_EQ(peer_.receive(bytes.size(), kPeerTimeoutMs), bytes);
  peer_.send(bytes);
  EXPECT_EQ(readText(port, static_cast<std::uint32_t>(bytes.size()), kGenerousTimeoutMs), bytes);

  // As before a sector frame: what the instrument sent earlier goes, its answer to what
  // follows the discard comes through.
  peer_.send("stale");
  std::this_thread::sleep_for(kSettle);
  port.discardInput();
  EXPECT_EQ(writeText(port, "frame"), 5u);
  EXPECT_EQ(peer_.receive(5, kPeerTimeoutMs), "frame");
  peer_.send("G\r");
  EXPECT_EQ(readText(port, 2, kGenerousTimeoutMs), "G\r");
  EXPECT_TRUE(port.close());

  ASSERT_TRUE(port.open(server.portName(0).c_str(), kModbusBaud));
  EXPECT_EQ(lineSpeed(peer_.slaveFd(), B9600), B9600);
  EXPECT_EQ(writeText(port, "GO"), 2u);
  EXPECT_EQ(peer_.receive(2, kPeerTimeoutMs), "GO");
}

// With the cancel event set, a read that waits ends once it is signalled, and an open after
// it fails at once.
TEST_F(NetworkPortTest, CancelEndsReadsAndOpens) {
  Ser2netServer server(dir_.path(), {{peer_.slavePath()}});
  ASSERT_TRUE(server.ready()) << server.log();
  CancelEvent cancel;
  SerialPort port;
  port.setCancelEvent(&cancel);
  ASSERT_TRUE(port.open(server.portName(0).c_str(), kTransferBaud));
  std::thread canceller([&cancel] {
    std::this_thread::sleep_for(kCancelAfter);
    cancel.signal();
  });
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(readText(port, 2, kGenerousTimeoutMs), "");
  EXPECT_LT(msSince(start), static_cast<long>(kGenerousTimeoutMs / 2));
  canceller.join();
  EXPECT_TRUE(port.close());

  CaptureStdout();
  EXPECT_FALSE(port.open(server.portName(0).c_str(), kTransferBaud));
  EXPECT_NE(GetCapturedStdout().find(server.portName(0) + ": connection canceled"),
            std::string::npos);
}

// Every way of not getting a line says what happened, after the open error's step number.
TEST_F(NetworkPortTest, EachFailureToOpenSaysWhy) {
  PtyPeer plainTelnet;
  Ser2netServer server(dir_.path(),
                       {{peer_.slavePath(), "tcp"}, {plainTelnet.slavePath(), "telnet,tcp"}});
  ASSERT_TRUE(server.ready()) << server.log();
  using namespace telnet;
  // A server that takes everything but sets another speed than the one asked for.
  CannedServer wrongSpeed({kIac, kDo, kOptionBinary, kIac, kWill, kOptionBinary, kIac, kDo,
                           kOptionComPort, kIac, kSubnegotiationBegin, kOptionComPort, 101, 0, 0,
                           0x25, 0x80, kIac, kSubnegotiationEnd});
  struct Case {
    std::string name;
    int step;
    const char* reason;
  };
  const Case cases[] = {
      {testing::refusingPortName(), kStepOpenDevice, "connection refused"},
      {"rfc2217://nohost.invalid:2217", kStepOpenDevice, "host name not resolved"},
      {server.portName(0), kStepGetState, "no Com Port Control"},
      {server.portName(1), kStepGetState, "no Com Port Control"},
      {wrongSpeed.portName(), kStepSetState,
       "speed not confirmed: the server set 9600 baud instead of 115200"},
  };
  for (const Case& c : cases) {
    SerialPort port;
    CaptureStdout();
    EXPECT_FALSE(port.open(c.name.c_str(), kTransferBaud)) << c.name;
    const std::string traces = GetCapturedStdout();
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.openFailure(), OpenFailure::Other);
    const std::string expected =
        "Open RS232 Error (line " + std::to_string(c.step) + ") !!!!\n" + c.name + ": " + c.reason;
    EXPECT_EQ(traces.rfind(expected, 0), 0u) << traces;
    ASSERT_NE(port.openFailureReason(), nullptr);
    EXPECT_EQ(std::string(port.openFailureReason()).rfind(c.reason, 0), 0u);
    EXPECT_EQ(traces.find('\n', expected.size()), traces.size() - 1) << "one line: " << traces;
  }
}

}  // namespace
}  // namespace quorvel
