#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/scratch_dir.h"

// Serial device servers for the network tests: ser2net (the Debian package) as a child process
// with a configuration the test generates, and a canned server that does not do its job.
namespace quorvel::testing {

// One connection of the server: the serial device it serves and the accepter in front of it.
struct Ser2netConnection {
  std::string device;                            // a pseudo-terminal, or a link to one
  std::string accepter = "telnet(rfc2217),tcp";  // "tcp": raw; "telnet,tcp": no Com Port Control
};

// Limits of the waits for the server; they only end waits that would otherwise hang.
constexpr std::chrono::milliseconds kSer2netStartLimit{10000};
constexpr std::chrono::milliseconds kSer2netStopLimit{5000};

// Each connection listens on a loopback address of its own (127.0.0.1, 127.0.0.2, ...) on a
// port the kernel chooses, so that tests running at the same time never collide; the port
// is read from the server's own listening sockets in /proc. Stopped (SIGTERM) when destroyed.
class Ser2netServer {
 public:
  Ser2netServer(const std::filesystem::path& dir,
                const std::vector<Ser2netConnection>& connections);
  ~Ser2netServer();
  Ser2netServer(const Ser2netServer&) = delete;
  Ser2netServer& operator=(const Ser2netServer&) = delete;

  // Every connection listens.
  bool ready() const { return ready_; }
  // rfc2217://127.0.0.N:PORT of connection `index`.
  std::string portName(std::size_t index) const;
  // Ends the server at once (SIGKILL), as a device server that loses its power.
  void kill();
  // What the server wrote, for a failure message.
  std::string log() const { return readFile(logPath_); }

 private:
  bool waitUntilListening(std::size_t count);

  std::filesystem::path logPath_;
  std::unique_ptr<Child> child_;
  std::vector<std::string> addresses_;
  std::vector<std::uint16_t> ports_;
  bool ready_ = false;
};

// Where the ser2net program is; empty when it is not installed.
std::string ser2netProgram();

// A server on 127.0.0.1 that takes one connection, answers the first bytes it receives with
// `answer` (nothing at all when empty) and then only reads until the client leaves: a port
// that is no RFC 2217 server, or one that answers wrongly.
class CannedServer {
 public:
  explicit CannedServer(std::vector<std::uint8_t> answer);
  ~CannedServer();
  CannedServer(const CannedServer&) = delete;
  CannedServer& operator=(const CannedServer&) = delete;

  std::string portName() const;
  // Waits until a client has connected and sent its first bytes.
  bool waitForClient(std::chrono::milliseconds limit) const;

 private:
  void serve();

  std::vector<std::uint8_t> answer_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> clientSpoke_{false};
  std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens (one the kernel just gave out and took back).
std::string refusingPortName();

}  // namespace quorvel::testing
