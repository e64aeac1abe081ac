#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/cancel_event.h"
#include "serial/line_monitor.h"
#include "serial/serial_port.h"
#include "serial/uucp_lock.h"
#include "tests/support/line_settings.h"
#include "tests/support/pty_peer.h"
#include "tests/support/pty_port_test.h"

namespace quorvel {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
using Clock = std::chrono::steady_clock;
using testing::lineSettings;
using testing::PtyPeer;
using testing::sameSettings;

constexpr std::uint32_t kModbusBaud = 9600;
constexpr std::uint32_t kTransferBaud = 115200;
constexpr std::uint32_t kShortTimeoutMs = 50;
// Long enough never to end a test that works; a read that waits this long has failed.
constexpr std::uint32_t kGenerousTimeoutMs = 5000;
constexpr int kPeerTimeoutMs = 2000;

std::uint32_t readInto(SerialPort& port, std::string& out, std::uint32_t count,
                       std::uint32_t timeoutMs) {
  std::vector<std::uint8_t> buffer(count);
  std::uint32_t got = port.read(buffer.data(), count, timeoutMs);
  out.assign(buffer.begin(), buffer.begin() + got);
  return got;
}

std::uint32_t writeText(SerialPort& port, const std::string& text) {
  return port.write(reinterpret_cast<const std::uint8_t*>(text.data()),
                    static_cast<std::uint32_t>(text.size()));
}

long elapsedMs(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

int openDescriptorCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

class SerialPortTest : public testing::PtyPortTest {};

TEST_F(SerialPortTest, OpensRaw8N1AtTheExactRateAndReopensAtTheOther) {
  struct RateCase {
    std::uint32_t baud;
    speed_t code;
  };
  const RateCase kRates[] = {{kModbusBaud, B9600}, {kTransferBaud, B115200}, {kModbusBaud, B9600}};
  for (const RateCase& rate : kRates) {
    SCOPED_TRACE(rate.baud);
    CaptureStdout();
    ASSERT_TRUE(port.open(peer.slavePath().c_str(), rate.baud));
    EXPECT_TRUE(port.isOpen());
    termios settings = lineSettings(peer.slaveFd());
    EXPECT_EQ(cfgetospeed(&settings), rate.code);
    EXPECT_EQ(cfgetispeed(&settings), rate.code);
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t{CS8});
    EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    // Every byte value crosses the line unchanged, in both directions.
    std::string allBytes;
    for (int value = 0; value < 256; ++value) allBytes += static_cast<char>(value);
    EXPECT_EQ(writeText(port, allBytes), allBytes.size());
    EXPECT_EQ(peer.receive(allBytes.size(), kPeerTimeoutMs), allBytes);
    peer.send(allBytes);
    std::string got;
    readInto(port, got, static_cast<std::uint32_t>(allBytes.size()), kGenerousTimeoutMs);
    EXPECT_EQ(got, allBytes);
    EXPECT_TRUE(port.close());
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(GetCapturedStdout(), "");  // success traces are switched off
  }
}

// Collects what the monitored ports of its thread sent and received.
class RecordingMonitor : public LineMonitor {
 public:
  void sent(const std::uint8_t* bytes, std::size_t count) override {
    log += "TX " + std::string(reinterpret_cast<const char*>(bytes), count) + "|";
  }
  void received(const std::uint8_t* bytes, std::size_t count) override {
    log += "RX " + std::string(reinterpret_cast<const char*>(bytes), count) + "|";
  }
  std::string log;
};

// The monitor sees exactly the bytes that went out and came in, partial reads included,
// and only those of the thread that installed it, only while installed.
TEST_F(SerialPortTest, LineMonitorSeesTheBytesOfItsOwnThread) {
  openPort();
  RecordingMonitor monitor;
  std::string got;
  {
    ScopedLineMonitor scope(monitor);
    EXPECT_EQ(writeText(port, ":0103"), 5u);
    EXPECT_EQ(peer.receive(5, kPeerTimeoutMs), ":0103");
    peer.send("G");
    EXPECT_EQ(readInto(port, got, 2, kShortTimeoutMs), 1u);  // times out with one byte
    EXPECT_EQ(readInto(port, got, 2, kShortTimeoutMs), 0u);  // nothing: nothing to report
    std::thread other([this] { writeText(port, "elsewhere"); });
    other.join();
    EXPECT_EQ(peer.receive(9, kPeerTimeoutMs), "elsewhere");
  }
  writeText(port, "after");
  EXPECT_EQ(peer.receive(5, kPeerTimeoutMs), "after");
  EXPECT_EQ(monitor.log, "TX :0103|RX G|");
}

TEST_F(SerialPortTest, OpenOnAnOpenPortFailsSilentlyAndKeepsIt) {
  openPort(kModbusBaud);
  CaptureStdout();
  EXPECT_FALSE(port.open(peer.slavePath().c_str(), kTransferBaud));
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_TRUE(port.isOpen());
  termios settings = lineSettings(peer.slaveFd());
  EXPECT_EQ(cfgetospeed(&settings), speed_t{B9600});
  EXPECT_EQ(writeText(port, "ok"), 2u);
  EXPECT_EQ(peer.receive(2, kPeerTimeoutMs), "ok");
}

TEST_F(SerialPortTest, SecondOpenOfAHeldPortFailsUntilTheFirstCloses) {
  openPort();
  SerialPort second;
  CaptureStdout();
  EXPECT_FALSE(second.open(peer.slavePath().c_str(), kTransferBaud));
  EXPECT_EQ(GetCapturedStdout(), "Open RS232 Error (line 238) !!!!\n" + peer.slavePath() +
                                     " is in use by another program\n");
  EXPECT_FALSE(second.isOpen());
  EXPECT_TRUE(port.isOpen());

  ASSERT_TRUE(port.close());
  EXPECT_TRUE(second.open(peer.slavePath().c_str(), kModbusBaud));
}

TEST_F(SerialPortTest, HeldPortIsRefusedToAnotherProcess) {
  openPort();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SerialPort other;
    _exit(other.open(peer.slavePath().c_str(), kTransferBaud) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the other process opened a held port";
}

TEST(SerialPortOpenTest, FailuresTraceTheirStepAndAHint) {
  char plainFile[] = "/tmp/quorvel-serial-XXXXXX";
  int fileFd = mkstemp(plainFile);
  ASSERT_GE(fileFd, 0);
  close(fileFd);
  PtyPeer peer;
  struct OpenCase {
    const char* label;
    const char* name;
    std::uint32_t baud;
    std::string expected;
  };
  const std::vector<OpenCase> cases = {
      {"no name", nullptr, kTransferBaud, "Open RS232 Error (line 238) !!!!\n"},
      {"missing device", "/dev/quorvel-no-such-port", kTransferBaud,
       "Open RS232 Error (line 238) !!!!\n/dev/quorvel-no-such-port does not exist\n"},
      {"COMn names a ttyS device", "COM999", kTransferBaud,
       "Open RS232 Error (line 238) !!!!\n/dev/ttyS998 does not exist\n"},
      {"plain file", plainFile, kTransferBaud,
       std::string("Open RS232 Error (line 238) !!!!\n") + plainFile + " is not a serial device\n"},
      {"directory", "/tmp", kTransferBaud, "Open RS232 Error (line 238) !!!!\n"},
      {"rate the line cannot take", peer.slavePath().c_str(), 12345,
       "Open RS232 Error (line 302) !!!!\n"},
  };
  const int descriptorsBefore = openDescriptorCount();
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.label);
    SerialPort port;
    CaptureStdout();
    EXPECT_FALSE(port.open(c.name, c.baud));
    EXPECT_EQ(GetCapturedStdout(), c.expected);
    EXPECT_FALSE(port.isOpen());
  }
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);

  // Nothing was written into the plain file, and a failed open left the device free.
  struct stat info {};
  ASSERT_EQ(stat(plainFile, &info), 0);
  EXPECT_EQ(info.st_size, 0);
  unlink(plainFile);
  SerialPort port;
  EXPECT_TRUE(port.open(peer.slavePath().c_str(), kTransferBaud));
}

TEST_F(SerialPortTest, ClosedPortGivesNothingAndCloseTwiceGivesTrueThenFalse) {
  std::uint8_t buffer[4] = {};
  CaptureStdout();
  EXPECT_EQ(port.read(buffer, sizeof buffer, kShortTimeoutMs), 0u);
  EXPECT_EQ(port.write(buffer, sizeof buffer), 0u);
  EXPECT_FALSE(port.close());
  EXPECT_EQ(GetCapturedStdout(), "Close RSS32 Error (line 368) !!!!\n");
  openPort();
  CaptureStdout();
  EXPECT_TRUE(port.close());
  EXPECT_FALSE(port.close());
  EXPECT_EQ(port.read(buffer, sizeof buffer, kShortTimeoutMs), 0u);
  EXPECT_EQ(GetCapturedStdout(), "Close RSS32 Error (line 368) !!!!\n");
}

TEST_F(SerialPortTest, DestructionClosesAnOpenPortSilently) {
  const int descriptorsBefore = openDescriptorCount();
  CaptureStdout();
  {
    SerialPort scoped;
    ASSERT_TRUE(scoped.open(peer.slavePath().c_str(), kModbusBaud));
  }
  { SerialPort neverOpened; }
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
  EXPECT_TRUE(port.open(peer.slavePath().c_str(), kTransferBaud));
}

TEST_F(SerialPortTest, ReadOfBytesAlreadyThereReturnsAtOnce) {
  openPort();
  peer.send("0123456789");
  std::string got;
  CaptureStdout();
  auto start = Clock::now();
  EXPECT_EQ(readInto(port, got, 10, kGenerousTimeoutMs), 10u);
  EXPECT_LT(elapsedMs(start), static_cast<long>(kGenerousTimeoutMs) / 2);
  EXPECT_EQ(got, "0123456789");
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(SerialPortTest, ReadWaitsAcrossGapsBetweenBytes) {
  openPort();
  std::thread instrument([this] {
    for (const char* piece : {"ab", "cd", "e"}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      peer.send(piece);
    }
  });
  std::string got;
  EXPECT_EQ(readInto(port, got, 5, kGenerousTimeoutMs), 5u);
  instrument.join();
  EXPECT_EQ(got, "abcde");
}

TEST_F(SerialPortTest, PartialReadReturnsWhatCameAfterItsTimeout) {
  openPort();
  struct PartialCase {
    std::string sent;
    std::uint32_t timeoutMs;
  };
  const PartialCase kCases[] = {{"G", kShortTimeoutMs}, {"", kShortTimeoutMs}, {"xyz", 0}};
  for (const PartialCase& c : kCases) {
    SCOPED_TRACE(c.sent);
    peer.send(c.sent);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // let it reach the port
    std::string got;
    CaptureStdout();
    auto start = Clock::now();
    EXPECT_EQ(readInto(port, got, 15, c.timeoutMs), c.sent.size());
    EXPECT_GE(elapsedMs(start), static_cast<long>(c.timeoutMs));
    EXPECT_EQ(got, c.sent);
    EXPECT_EQ(GetCapturedStdout(), "");  // the time-out trace is switched off
  }
}

// A read that watches a cancel event keeps what has come and ends as soon as the event is
// signalled, long before its time-out; once signalled, every such read ends at once.
TEST_F(SerialPortTest, CancelEndsAWatchingReadAtOnce) {
  openPort();
  CancelEvent cancel;
  port.setCancelEvent(&cancel);
  peer.send("ab");
  std::thread signaller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cancel.signal();
  });
  std::uint8_t buffer[8] = {};
  auto start = Clock::now();
  EXPECT_EQ(port.read(buffer, 8, kGenerousTimeoutMs), 2u);
  signaller.join();
  EXPECT_LT(elapsedMs(start), static_cast<long>(kGenerousTimeoutMs / 2));
  EXPECT_EQ(std::string(buffer, buffer + 2), "ab");
  start = Clock::now();
  EXPECT_EQ(port.read(buffer, 8, kGenerousTimeoutMs), 0u);
  EXPECT_LT(elapsedMs(start), static_cast<long>(kGenerousTimeoutMs / 2));
}

// The answer to a frame may already be waiting when the next write starts: only output is
// dropped before a write, received bytes stay readable.
TEST_F(SerialPortTest, WriteKeepsReceivedInput) {
  openPort();
  peer.send("answer");
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(writeText(port, "GO"), 2u);
  EXPECT_EQ(peer.receive(2, kPeerTimeoutMs), "GO");
  std::string got;
  EXPECT_EQ(readInto(port, got, 6, kGenerousTimeoutMs), 6u);
  EXPECT_EQ(got, "answer");
}

// Output still on its way to the peer is never lost: neither the write that follows, nor the
// close, nor an open of the port at once may discard it. The loss is a race, hence the many
// rounds.
constexpr int kRaceRounds = 200;

TEST_F(SerialPortTest, BackToBackWritesAllArrive) {
  openPort();
  for (int round = 0; round < kRaceRounds; ++round) {
    ASSERT_EQ(writeText(port, "frame"), 5u);
    ASSERT_EQ(writeText(port, "GO"), 2u);
    ASSERT_EQ(peer.receive(7, kPeerTimeoutMs), "frameGO") << "round " << round;
  }
}

TEST_F(SerialPortTest, CloseAndAnImmediateReopenKeepTheLastOutput) {
  for (int round = 0; round < kRaceRounds; ++round) {
    openPort();
    ASSERT_EQ(writeText(port, "GO"), 2u);
    ASSERT_TRUE(port.close());
    openPort(kModbusBaud);
    ASSERT_EQ(peer.receive(2, kPeerTimeoutMs), "GO") << "round " << round;
    ASSERT_TRUE(port.close());
  }
}

TEST_F(SerialPortTest, CloseDiscardsInput) {
  openPort();
  peer.send("echo of the order");
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(port.close());
  pollfd entry{peer.slaveFd(), POLLIN, 0};
  EXPECT_EQ(poll(&entry, 1, 0), 0) << "input received before the close is still readable";
}

TEST_F(SerialPortTest, ReadAndWriteLeaveTheLineSettingsAsTheyWere) {
  openPort();
  const termios before = lineSettings(peer.slaveFd());
  const int descriptorsBefore = openDescriptorCount();
  const int fd = static_cast<int>(port.nativeHandle());
  const int statusFlagsBefore = fcntl(fd, F_GETFL);
  std::string got;
  peer.send("12");
  readInto(port, got, 5, kShortTimeoutMs);
  EXPECT_TRUE(sameSettings(before, lineSettings(peer.slaveFd())));
  writeText(port, "345");
  EXPECT_TRUE(sameSettings(before, lineSettings(peer.slaveFd())));
  readInto(port, got, 0, kShortTimeoutMs);
  EXPECT_TRUE(sameSettings(before, lineSettings(peer.slaveFd())));
  EXPECT_EQ(fcntl(fd, F_GETFL), statusFlagsBefore);
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

TEST_F(SerialPortTest, StoppedLineGivesAShortWriteWithinItsBudget) {
  openPort();
  ASSERT_EQ(tcflow(peer.slaveFd(), TCOOFF), 0);  // output suspended: nothing can leave
  CaptureStdout();
  EXPECT_EQ(writeText(port, "12345"), 0u);
  EXPECT_EQ(GetCapturedStdout(), "RS232 WRITE ERROR (line 187) : 0 char written instead of 5\n");
  ASSERT_EQ(tcflow(peer.slaveFd(), TCOON), 0);
  EXPECT_EQ(writeText(port, "after"), 5u);
  EXPECT_EQ(peer.receive(10, kShortTimeoutMs), "after");
}

TEST_F(SerialPortTest, PulledLineEndsAReadWithWhatArrived) {
  openPort();
  std::thread instrument([this] {
    peer.send("abc");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.hangUp();
  });
  std::string got;
  CaptureStdout();
  auto start = Clock::now();
  EXPECT_EQ(readInto(port, got, 10, kGenerousTimeoutMs), 3u);
  EXPECT_LT(elapsedMs(start), static_cast<long>(kGenerousTimeoutMs) / 2);
  instrument.join();
  EXPECT_EQ(got, "abc");
  EXPECT_EQ(GetCapturedStdout(), "RS232 READ ERROR (line 111)\n");
  // A later read of the dead line fails again at once; the port still closes.
  CaptureStdout();
  EXPECT_EQ(readInto(port, got, 10, kGenerousTimeoutMs), 0u);
  EXPECT_EQ(GetCapturedStdout(), "RS232 READ ERROR (line 111)\n");
  EXPECT_TRUE(port.close());
}

TEST_F(SerialPortTest, PulledLineEndsAWriteWithWhatWasWritten) {
  openPort();
  // Far more than the pseudo-terminal holds, so the write is still waiting when the line
  // is pulled.
  const std::vector<std::uint8_t> frame(1 << 20, 0x5A);
  std::thread instrument([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.hangUp();
  });
  CaptureStdout();
  std::uint32_t written = port.write(frame.data(), static_cast<std::uint32_t>(frame.size()));
  instrument.join();
  EXPECT_LT(written, frame.size());
  EXPECT_EQ(GetCapturedStdout(), "RS232 WRITE ERROR (line 183)\n");
  CaptureStdout();
  EXPECT_EQ(writeText(port, "GO"), 0u);
  EXPECT_EQ(GetCapturedStdout(), "RS232 WRITE ERROR (line 183)\n");
  EXPECT_TRUE(port.close());
}

int pendingInput(int fd) {
  int pending = -1;
  EXPECT_EQ(ioctl(fd, FIONREAD, &pending), 0);
  return pending;
}

// The pseudo-terminal hands the peer's bytes over a moment after they were written.
int awaitPendingInput(int fd, int expected) {
  for (int i = 0; i < kPeerTimeoutMs && pendingInput(fd) < expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pendingInput(fd);
}

int exclusiveMode(int fd) {
  int exclusive = -1;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
  return exclusive;
}

// A line as some other program may have left it: another rate, two stop bits, flow control
// by XON/XOFF, reads of four bytes. (No echo: the pseudo-terminal would send the test's input
// back; no parity: it takes none.)
termios foreignSettings(int fd) {
  termios settings = lineSettings(fd);
  settings.c_iflag |= IXON;
  settings.c_cflag |= CSTOPB;
  settings.c_cc[VMIN] = 4;
  cfsetispeed(&settings, B4800);
  cfsetospeed(&settings, B4800);
  EXPECT_EQ(tcsetattr(fd, TCSANOW, &settings), 0) << std::strerror(errno);
  return lineSettings(fd);
}

// A probe's port works the line as usual and then gives it back as it found it: settings
// and exclusive mode, and nothing of what arrives after it is gone is dropped.
TEST_F(SerialPortTest, BorrowedLineIsGivenBackAsItWasFound) {
  const termios found = foreignSettings(peer.slaveFd());
  port.setBorrowed(true);
  openPort(kModbusBaud);
  const termios working = lineSettings(peer.slaveFd());
  EXPECT_EQ(cfgetospeed(&working), B9600);
  EXPECT_EQ(exclusiveMode(peer.slaveFd()), 1);
  EXPECT_EQ(writeText(port, "request"), 7u);
  EXPECT_EQ(peer.receive(7, kPeerTimeoutMs), "request");
  peer.send("answer");
  std::string got;
  readInto(port, got, 6, kGenerousTimeoutMs);
  EXPECT_EQ(got, "answer");
  peer.send("late");
  EXPECT_TRUE(port.close());
  EXPECT_TRUE(sameSettings(lineSettings(peer.slaveFd()), found));
  EXPECT_EQ(exclusiveMode(peer.slaveFd()), 0);
  EXPECT_EQ(awaitPendingInput(peer.slaveFd(), 4), 4);
}

// A line that shows another user is refused as busy and left exactly as it was.
TEST_F(SerialPortTest, BorrowedOpenLeavesALineInUseUntouched) {
  struct Case {
    const char* name;
    std::function<void(int)> takeLine;
    std::function<void(int)> giveBack;
  };
  const Case cases[] = {
      {"input waiting", [this](int fd) { peer.send("mine"), awaitPendingInput(fd, 4); },
       [](int fd) { tcflush(fd, TCIFLUSH); }},
      {"exclusive mode", [](int fd) { ioctl(fd, TIOCEXCL); }, [](int fd) { ioctl(fd, TIOCNXCL); }},
      {"lock", [](int fd) { flock(fd, LOCK_EX); }, [](int fd) { flock(fd, LOCK_UN); }},
  };
  port.setBorrowed(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int fd = peer.slaveFd();
    const termios found = foreignSettings(fd);
    c.takeLine(fd);
    const int input = pendingInput(fd);
    const int exclusive = exclusiveMode(fd);
    CaptureStdout();
    EXPECT_FALSE(port.open(peer.slavePath().c_str(), kModbusBaud));
    EXPECT_NE(GetCapturedStdout().find(" is in use by another program\n"), std::string::npos);
    EXPECT_EQ(port.openFailure(), OpenFailure::Busy);
    EXPECT_TRUE(sameSettings(lineSettings(fd), found));
    EXPECT_EQ(pendingInput(fd), input);
    EXPECT_EQ(exclusiveMode(fd), exclusive);
    EXPECT_EQ(peer.receive(1, 50), "");
    if (port.isOpen()) port.close();
    c.giveBack(fd);
  }
}

// A lock file of the serial programs that keep to that convention holds while its process runs.
TEST(UucpLockTest, HeldOnlyWhileItsProcessRuns) {
  const std::string dir = ::testing::TempDir() + "quorvel-lock-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::string lockFile = dir + "/LCK..ttyQ7";
  const pid_t self = getpid();
  const pid_t gone = 2147483600;  // no system hands out such a process id
  struct Case {
    const char* name;
    std::string content;
    bool held;
  };
  std::string binarySelf(sizeof(std::int32_t), '\0');
  const std::int32_t selfId = self;
  std::memcpy(binarySelf.data(), &selfId, sizeof selfId);
  const Case cases[] = {
      {"text", "      " + std::to_string(self) + "\n", true},
      {"binary", binarySelf, true},
      {"gone", std::to_string(gone) + "\n", false},
      {"garbage", "port in use\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::FILE* file = std::fopen(lockFile.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(c.content.data(), 1, c.content.size(), file);
    std::fclose(file);
    EXPECT_EQ(uucpLockHeld("/dev/ttyQ7", {dir}), c.held);
    EXPECT_FALSE(uucpLockHeld("/dev/ttyQ8", {dir}));
  }
  std::remove(lockFile.c_str());
  rmdir(dir.c_str());
}

// A wait ends as soon as the port's cancel event is signalled, with what had arrived.
TEST_F(SerialPortTest, CancelEventEndsAWaitWithWhatArrived) {
  CancelEvent cancel;
  port.setCancelEvent(&cancel);
  openPort();
  peer.send("ab");
  std::thread canceller([&cancel] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cancel.signal();
  });
  const auto start = Clock::now();
  std::string got;
  readInto(port, got, 10, kGenerousTimeoutMs);
  canceller.join();
  EXPECT_EQ(got, "ab");
  EXPECT_LT(elapsedMs(start), static_cast<long>(kGenerousTimeoutMs) / 2);
  EXPECT_EQ(readInto(port, got, 1, kGenerousTimeoutMs), 0u);  // at once, once signalled
  EXPECT_LT(elapsedMs(start), static_cast<long>(kGenerousTimeoutMs) / 2);
}

}  // namespace
}  // namespace quorvel
