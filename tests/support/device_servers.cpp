#include "tests/support/device_servers.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kListenPoll{20};
constexpr const char* kListenState = "0A";  // TCP_LISTEN in /proc/net/tcp
constexpr const char* kSocketLink = "socket:[";
constexpr int kFieldsBeforeInode = 5;  // after the state: queues, timer, retransmits, uid, timeout
// The canned server looks at its stop flag this often.
constexpr int kCannedPollMs = 20;

// A TCP socket bound to 127.0.0.1 on a port the kernel chooses; -1 on failure.
int boundLoopbackSocket(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

// Waits for `fd` to be readable, in slices, until `stop`; false when stopped.
bool readable(int fd, const std::atomic<bool>& stop) {
  while (!stop) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, kCannedPollMs) > 0) return true;
  }
  return false;
}

// The inodes of the sockets that process `pid` holds.
std::set<unsigned long> socketInodes(pid_t pid) {
  std::set<unsigned long> inodes;
  std::error_code error;
  const fs::path fds = fs::path("/proc") / std::to_string(pid) / "fd";
  for (fs::directory_iterator entry(fds, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string target = fs::read_symlink(entry->path(), error).string();
    if (!error && target.rfind(kSocketLink, 0) == 0) {
      inodes.insert(std::stoul(target.substr(std::strlen(kSocketLink))));
    }
    error.clear();
  }
  return inodes;
}

// "0100007F" (the address in the byte order of this machine) as "127.0.0.1".
std::string dottedAddress(const std::string& hex) {
  const auto value = static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16));
  std::array<unsigned char, 4> bytes{};
  std::memcpy(bytes.data(), &value, bytes.size());
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

// The IPv4 addresses process `pid` listens on, with their ports.
std::map<std::string, std::uint16_t> listeningPorts(pid_t pid) {
  const std::set<unsigned long> inodes = socketInodes(pid);
  std::map<std::string, std::uint16_t> ports;
  std::ifstream table(fs::path("/proc") / std::to_string(pid) / "net" / "tcp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, skipped;
    unsigned long inode = 0;
    fields >> slot >> local >> remote >> state;
    for (int i = 0; i < kFieldsBeforeInode; ++i) fields >> skipped;
    fields >> inode;
    const std::size_t colon = local.find(':');
    if (state != kListenState || colon == std::string::npos || inodes.count(inode) == 0) continue;
    ports[dottedAddress(local.substr(0, colon))] =
        static_cast<std::uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16));
  }
  return ports;
}

std::string configuration(const std::vector<Ser2netConnection>& connections,
                          const std::vector<std::string>& addresses) {
  std::string yaml;
  for (std::size_t i = 0; i < connections.size(); ++i) {
    std::error_code error;
    const fs::path device = fs::canonical(connections[i].device, error);
    yaml += "connection: &unit" + std::to_string(i) + "\n";
    yaml += "  accepter: " + connections[i].accepter + "," + addresses[i] + ",0\n";
    yaml += "  connector: serialdev," + (error ? connections[i].device : device.string()) +
            ",9600n81,local\n";
  }
  return yaml;
}

}  // namespace

std::string ser2netProgram() {
  for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

Ser2netServer::Ser2netServer(const fs::path& dir, const std::vector<Ser2netConnection>& connections)
    : logPath_(dir / "ser2net.err") {
  for (std::size_t i = 0; i < connections.size(); ++i) {
    addresses_.push_back("127.0.0." + std::to_string(i + 1));
  }
  const std::string program = ser2netProgram();
  if (program.empty()) return;
  const fs::path config = dir / "ser2net.yaml";
  writeFile(config, configuration(connections, addresses_));
  // In the foreground, without UUCP lock files, with a pid file of its own.
  ChildSetup setup{
      {program, "-n", "-u", "-c", config.string(), "-P", (dir / "ser2net.pid").string()},
      dir,
      {},
      dir / "ser2net.out",
      logPath_,
      std::string(),
      -1,
      -1};
  child_ = std::make_unique<Child>(setup);
  ready_ = waitUntilListening(connections.size());
}

Ser2netServer::~Ser2netServer() {
  if (child_ == nullptr) return;
  child_->signal(SIGTERM);
  child_->wait(kSer2netStopLimit);  // the child's destructor ends it if it lingers
}

bool Ser2netServer::waitUntilListening(std::size_t count) {
  const auto end = Clock::now() + kSer2netStartLimit;
  while (Clock::now() < end) {
    if (child_->wait(std::chrono::milliseconds(0)).has_value()) return false;  // it ended
    const std::map<std::string, std::uint16_t> listening = listeningPorts(child_->pid());
    ports_.clear();
    for (const std::string& address : addresses_) {
      if (auto found = listening.find(address); found != listening.end()) {
        ports_.push_back(found->second);
      }
    }
    if (ports_.size() == count) return true;
    std::this_thread::sleep_for(kListenPoll);
  }
  return false;
}

std::string Ser2netServer::portName(std::size_t index) const {
  if (index >= ports_.size()) return "rfc2217://127.0.0.1:1";
  return "rfc2217://" + addresses_[index] + ":" + std::to_string(ports_[index]);
}

void Ser2netServer::kill() {
  if (child_ == nullptr) return;
  child_->signal(SIGKILL);
  child_->wait(kSer2netStopLimit);
}

CannedServer::CannedServer(std::vector<std::uint8_t> answer) : answer_(std::move(answer)) {
  listener_ = boundLoopbackSocket(port_);
  if (listener_ < 0 || ::listen(listener_, 1) != 0) return;
  thread_ = std::thread([this] { serve(); });
}

CannedServer::~CannedServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) ::close(listener_);
}

std::string CannedServer::portName() const {
  return "rfc2217://127.0.0.1:" + std::to_string(port_);
}

bool CannedServer::waitForClient(std::chrono::milliseconds limit) const {
  const auto end = Clock::now() + limit;
  while (!clientSpoke_ && Clock::now() < end) std::this_thread::sleep_for(kListenPoll);
  return clientSpoke_;
}

void CannedServer::serve() {
  if (!readable(listener_, stop_)) return;
  const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  bool answered = false;
  std::array<std::uint8_t, 512> sink{};
  while (readable(client, stop_) && ::read(client, sink.data(), sink.size()) > 0) {
    clientSpoke_ = true;
    if (answered) continue;
    answered = true;
    if (!answer_.empty()) {
      [[maybe_unused]] const ssize_t sent =
          ::send(client, answer_.data(), answer_.size(), MSG_NOSIGNAL);
    }
  }
  ::close(client);
}

std::string refusingPortName() {
  std::uint16_t port = 0;
  const int fd = boundLoopbackSocket(port);
  if (fd >= 0) ::close(fd);
  return "rfc2217://127.0.0.1:" + std::to_string(port);
}

}  // namespace quorvel::testing
