// One upgrade per port: the reservation is keyed on the device, whatever name reaches it; the
// runs of one process share it, and a probe keeps off a port that anybody holds.
#include "serial/port_reservation.h"

#include <gtest/gtest.h>

#include <string>

#include "serial/port_list.h"

#ifndef _WIN32
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#endif

namespace quorvel {
namespace {

using Use = PortReservation::Use;
constexpr auto kGranted = ReservationStatus::Granted;
constexpr auto kBusy = ReservationStatus::Busy;

#ifdef _WIN32
// A COM name needs no device to be reserved.
struct TwoNames {
  std::string first = "COM987";
  std::string second = "\\\\.\\com987";
};
#else
// A pseudo-terminal and a symbolic link to it.
struct TwoNames {
  TwoNames() {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
    first = ttyname(slave);
    static int count = 0;
    second = ::testing::TempDir() + "quorvel-reserved-" + std::to_string(getpid()) + "-" +
             std::to_string(count++);
    std::filesystem::create_symlink(first, second);
  }
  ~TwoNames() {
    std::filesystem::remove(second);
    ::close(slave);
    ::close(master);
  }
  int master = -1;
  int slave = -1;
  std::string first;
  std::string second;
};
#endif

TEST(PortReservation, RunsOfOneProcessShareThePortThatProbesKeepOff) {
  TwoNames port;
  ASSERT_FALSE(port.first.empty());
  PortReservation run;
  PortReservation nested;
  PortReservation probe;
  EXPECT_EQ(run.reserve(port.first, Use::Run), kGranted);
  EXPECT_TRUE(run.holds());
  EXPECT_EQ(nested.reserve(port.second, Use::Run), kGranted);
  EXPECT_EQ(probe.reserve(port.second, Use::Probe), kBusy);
  EXPECT_FALSE(probe.holds());
  run.release();
  EXPECT_EQ(probe.reserve(port.first, Use::Probe), kBusy);  // the nested run still holds it
  nested = PortReservation();
  EXPECT_EQ(probe.reserve(port.first, Use::Probe), kGranted);
  EXPECT_EQ(run.reserve(port.second, Use::Run), kBusy);
  PortReservation moved(std::move(probe));
  EXPECT_EQ(run.reserve(port.second, Use::Run), kBusy);
  moved.release();
  EXPECT_EQ(run.reserve(port.second, Use::Run), kGranted);
}

// A network port needs none: its server takes one client at a time. On POSIX, neither does a
// name that leads to no device, which the open refuses anyway.
TEST(PortReservation, NamesOfNoLocalDeviceTakeNone) {
  std::vector<std::string> names = {"rfc2217://bench-server:4001"};
#ifndef _WIN32
  names.push_back("/nonexistent/ttyQ9");
#endif
  for (const std::string& name : names) {
    PortReservation first;
    PortReservation second;
    EXPECT_EQ(first.reserve(name, Use::Run), kGranted) << name;
    EXPECT_EQ(second.reserve(name, Use::Probe), kGranted) << name;
    EXPECT_FALSE(first.holds() || second.holds()) << name;
  }
}

#ifndef _WIN32
// A second node of the same device (as mknod or a bind mount make it) is the same port: one
// identity, one reservation.
TEST(PortReservation, ASecondNodeOfTheDeviceIsTheSamePort) {
  TwoNames port;
  TwoNames other;
  struct stat info {};
  ASSERT_EQ(stat(port.first.c_str(), &info), 0);
  const std::string twin = ::testing::TempDir() + "quorvel-twin-" + std::to_string(getpid());
  if (mknod(twin.c_str(), S_IFCHR | 0600, info.st_rdev) != 0) {
    GTEST_SKIP() << "no device nodes can be made here (errno " << errno << ")";
  }
  EXPECT_EQ(portIdentity(twin), portIdentity(port.first));
  EXPECT_EQ(portIdentity(port.second), portIdentity(port.first));
  EXPECT_NE(portIdentity(other.first), portIdentity(port.first));
  PortReservation run;
  PortReservation probe;
  EXPECT_EQ(run.reserve(twin, Use::Run), kGranted);
  EXPECT_EQ(probe.reserve(port.first, Use::Probe), kBusy);
  EXPECT_EQ(probe.reserve(other.first, Use::Probe), kGranted);
  std::remove(twin.c_str());
}
#endif

}  // namespace
}  // namespace quorvel
