#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/cancel_event.h"
#include "serial/serial_port.h"

// Runs against two COM ports joined like a null-modem cable: what is written on one is read
// on the other. Their names come from QUORVEL_TEST_COM_A and QUORVEL_TEST_COM_B; without
// them every test skips.
namespace quorvel {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kModbusBaud = 9600;
constexpr std::uint32_t kTransferBaud = 115200;
constexpr std::uint32_t kAnswerTimeoutMs = 1000;
constexpr std::uint32_t kGenerousTimeoutMs = 5000;
// Windows timers may end a wait up to a tick early.
constexpr long kTimerSlackMs = 20;
// A name no test machine maps.
constexpr const char* kUnmappedPort = "COM250";

bool runningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

HANDLE handleOf(const SerialPort& port) {
  return reinterpret_cast<HANDLE>(port.nativeHandle());
}

long elapsedMs(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::uint32_t writeText(SerialPort& port, const std::string& text) {
  return port.write(reinterpret_cast<const std::uint8_t*>(text.data()),
                    static_cast<std::uint32_t>(text.size()));
}

std::string readText(SerialPort& port, std::uint32_t count, std::uint32_t timeoutMs) {
  std::vector<std::uint8_t> buffer(count);
  std::uint32_t got = port.read(buffer.data(), count, timeoutMs);
  return std::string(buffer.begin(), buffer.begin() + got);
}

bool sameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) {
  return a.ReadIntervalTimeout == b.ReadIntervalTimeout &&
         a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier &&
         a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant &&
         a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier &&
         a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

class Win32SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* a = std::getenv("QUORVEL_TEST_COM_A");
    const char* b = std::getenv("QUORVEL_TEST_COM_B");
    if (a == nullptr || b == nullptr) {
      GTEST_SKIP() << "QUORVEL_TEST_COM_A / QUORVEL_TEST_COM_B name no linked COM ports";
    }
    nameA = a;
    nameB = b;
  }

  void openBoth(std::uint32_t baud) {
    ASSERT_TRUE(portA.open(nameA.c_str(), baud));
    ASSERT_TRUE(portB.open(nameB.c_str(), baud));
  }

  std::string nameA;
  std::string nameB;
  SerialPort portA;
  SerialPort portB;
};

TEST_F(Win32SerialPortTest, OpensWithTheLineSettingsAndReopensAtTheOtherRate) {
  for (std::uint32_t baud : {kModbusBaud, kTransferBaud, kModbusBaud}) {
    SCOPED_TRACE(baud);
    CaptureStdout();
    openBoth(baud);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(handleOf(portA), &dcb));
    EXPECT_EQ(dcb.BaudRate, baud);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(writeText(portA, "ping"), 4u);
    EXPECT_EQ(readText(portB, 4, kGenerousTimeoutMs), "ping");
    EXPECT_EQ(writeText(portB, "pong"), 4u);
    EXPECT_EQ(readText(portA, 4, kGenerousTimeoutMs), "pong");
    EXPECT_TRUE(portA.close());
    EXPECT_TRUE(portB.close());
    EXPECT_EQ(GetCapturedStdout(), "");
  }
}

TEST_F(Win32SerialPortTest, DeviceNamespaceNameOpensTheSamePort) {
  const std::string deviceName = "\\\\.\\" + nameA;
  ASSERT_TRUE(portA.open(deviceName.c_str(), kTransferBaud));
  ASSERT_TRUE(portB.open(nameB.c_str(), kTransferBaud));
  EXPECT_EQ(writeText(portA, "x"), 1u);
  EXPECT_EQ(readText(portB, 1, kGenerousTimeoutMs), "x");
}

TEST_F(Win32SerialPortTest, PartialReadReturnsAfterItsTimeout) {
  openBoth(kTransferBaud);
  EXPECT_EQ(writeText(portA, "G"), 1u);
  CaptureStdout();
  auto start = Clock::now();
  EXPECT_EQ(readText(portB, 2, kAnswerTimeoutMs), "G");
  long elapsed = elapsedMs(start);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_GE(elapsed, static_cast<long>(kAnswerTimeoutMs) - kTimerSlackMs);
  EXPECT_LT(elapsed, static_cast<long>(kAnswerTimeoutMs) * 2);
}

TEST_F(Win32SerialPortTest, ZeroTimeoutReadReturnsAtOnce) {
  openBoth(kTransferBaud);
  auto start = Clock::now();
  EXPECT_EQ(readText(portB, 4, 0), "");
  EXPECT_LT(elapsedMs(start), static_cast<long>(kAnswerTimeoutMs));
}

TEST_F(Win32SerialPortTest, ReadAndWriteRestoreTheTimeouts) {
  openBoth(kTransferBaud);
  COMMTIMEOUTS installed{7, 8, 9, 10, 11};
  ASSERT_TRUE(SetCommTimeouts(handleOf(portB), &installed));
  EXPECT_EQ(writeText(portA, "ab"), 2u);
  EXPECT_EQ(readText(portB, 2, kGenerousTimeoutMs), "ab");
  COMMTIMEOUTS now{};
  ASSERT_TRUE(GetCommTimeouts(handleOf(portB), &now));
  EXPECT_TRUE(sameTimeouts(now, installed));
  EXPECT_EQ(writeText(portB, "cd"), 2u);
  ASSERT_TRUE(GetCommTimeouts(handleOf(portB), &now));
  EXPECT_TRUE(sameTimeouts(now, installed));
  EXPECT_EQ(readText(portA, 2, kGenerousTimeoutMs), "cd");
}

TEST_F(Win32SerialPortTest, WriteKeepsReceivedInput) {
  openBoth(kTransferBaud);
  EXPECT_EQ(writeText(portA, "answer"), 6u);
  Sleep(100);
  EXPECT_EQ(writeText(portB, "GO"), 2u);
  EXPECT_EQ(readText(portB, 6, kGenerousTimeoutMs), "answer");
  EXPECT_EQ(readText(portA, 2, kGenerousTimeoutMs), "GO");
}

// A read that watches a cancel event keeps what has come and ends soon after the event is
// signalled, long before its time-out.
TEST_F(Win32SerialPortTest, CancelEndsAWatchingRead) {
  openBoth(kTransferBaud);
  CancelEvent cancel;
  portB.setCancelEvent(&cancel);
  EXPECT_EQ(writeText(portA, "ab"), 2u);
  std::thread signaller([&] {
    Sleep(200);
    cancel.signal();
  });
  std::uint8_t buffer[8] = {};
  const auto start = Clock::now();
  EXPECT_EQ(portB.read(buffer, 8, kGenerousTimeoutMs), 2u);
  signaller.join();
  EXPECT_LT(elapsedMs(start), static_cast<long>(kGenerousTimeoutMs / 2));
  EXPECT_EQ(std::string(buffer, buffer + 2), "ab");
}

TEST_F(Win32SerialPortTest, DiscardInputDropsWhatArrivedEarlierOnly) {
  openBoth(kTransferBaud);
  EXPECT_EQ(writeText(portA, "late"), 4u);
  Sleep(100);
  portB.discardInput();
  EXPECT_EQ(writeText(portA, "G"), 1u);
  EXPECT_EQ(readText(portB, 2, kAnswerTimeoutMs), "G");
}

TEST_F(Win32SerialPortTest, UnmappedPortTraces238) {
  CaptureStdout();
  EXPECT_FALSE(portA.open(kUnmappedPort, kTransferBaud));
  EXPECT_EQ(GetCapturedStdout(), "Open RS232 Error (line 238) !!!!\n");
  EXPECT_FALSE(portA.isOpen());
}

TEST_F(Win32SerialPortTest, OpenOnAnOpenPortFailsSilently) {
  ASSERT_TRUE(portA.open(nameA.c_str(), kModbusBaud));
  CaptureStdout();
  EXPECT_FALSE(portA.open(nameA.c_str(), kTransferBaud));
  EXPECT_EQ(GetCapturedStdout(), "");
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(handleOf(portA), &dcb));
  EXPECT_EQ(dcb.BaudRate, kModbusBaud);
}

TEST_F(Win32SerialPortTest, HeldPortIsRefused) {
  if (runningUnderWine()) GTEST_SKIP() << "Wine does not enforce exclusive opening";
  ASSERT_TRUE(portA.open(nameA.c_str(), kTransferBaud));
  SerialPort second;
  CaptureStdout();
  EXPECT_FALSE(second.open(nameA.c_str(), kTransferBaud));
  EXPECT_EQ(GetCapturedStdout(), "Open RS232 Error (line 238) !!!!\n");
  ASSERT_TRUE(portA.close());
  EXPECT_TRUE(second.open(nameA.c_str(), kTransferBaud));
}

TEST_F(Win32SerialPortTest, ClosedPortResultsAndCloseTwice) {
  std::uint8_t buffer[4] = {};
  CaptureStdout();
  EXPECT_EQ(portA.read(buffer, sizeof buffer, kAnswerTimeoutMs), 0u);
  EXPECT_EQ(portA.write(buffer, sizeof buffer), 0u);
  EXPECT_FALSE(portA.close());
  ASSERT_TRUE(portA.open(nameA.c_str(), kTransferBaud));
  EXPECT_TRUE(portA.close());
  EXPECT_FALSE(portA.close());
  EXPECT_EQ(GetCapturedStdout(),
            "Close RSS32 Error (line 368) !!!!\nClose RSS32 Error (line 368) !!!!\n");
}

TEST_F(Win32SerialPortTest, DestructionClosesTheOpenPort) {
  {
    SerialPort scoped;
    ASSERT_TRUE(scoped.open(nameA.c_str(), kTransferBaud));
  }
  EXPECT_TRUE(portA.open(nameA.c_str(), kModbusBaud));
}

// A probe's borrowed port puts back the line settings it found and empties nothing: what
// arrives after it is done is there for the next user.
TEST_F(Win32SerialPortTest, BorrowedPortIsGivenBackAsItWasFound) {
  ASSERT_TRUE(portA.open(nameA.c_str(), kTransferBaud));
  DCB found{};
  found.DCBlength = sizeof found;
  ASSERT_TRUE(GetCommState(handleOf(portA), &found));
  ASSERT_TRUE(portA.close());
  ASSERT_TRUE(portB.open(nameB.c_str(), kModbusBaud));
  SerialPort probe;
  probe.setBorrowed(true);
  ASSERT_TRUE(probe.open(nameA.c_str(), kModbusBaud));
  DCB working{};
  working.DCBlength = sizeof working;
  ASSERT_TRUE(GetCommState(handleOf(probe), &working));
  EXPECT_EQ(working.BaudRate, kModbusBaud);
  EXPECT_EQ(writeText(portB, "late"), 4u);
  Sleep(100);
  ASSERT_TRUE(probe.close());
  HANDLE plain = CreateFileA(("\\\\.\\" + nameA).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(plain, INVALID_HANDLE_VALUE);
  DCB after{};
  after.DCBlength = sizeof after;
  EXPECT_TRUE(GetCommState(plain, &after));
  EXPECT_EQ(after.BaudRate, found.BaudRate);
  COMMTIMEOUTS timeouts{0, 0, kAnswerTimeoutMs, 0, 0};
  SetCommTimeouts(plain, &timeouts);
  char late[4] = {};
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(plain, late, sizeof late, &got, nullptr));
  EXPECT_EQ(std::string(late, got), "late");
  CloseHandle(plain);
}

// A read ends soon after the port's cancel event is signalled (the synchronous read is
// made of short slices while an event is set).
TEST_F(Win32SerialPortTest, CancelEventEndsARead) {
  CancelEvent cancel;
  portB.setCancelEvent(&cancel);
  openBoth(kTransferBaud);
  EXPECT_EQ(writeText(portA, "ab"), 2u);
  std::thread canceller([&cancel] {
    Sleep(200);
    cancel.signal();
  });
  auto start = Clock::now();
  EXPECT_EQ(readText(portB, 10, kGenerousTimeoutMs), "ab");
  canceller.join();
  EXPECT_LT(elapsedMs(start), static_cast<long>(kGenerousTimeoutMs) / 2);
}

}  // namespace
}  // namespace quorvel
