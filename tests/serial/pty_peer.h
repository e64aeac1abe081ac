#pragma once

#include <cstdint>
#include <string>

// The far end of a pseudo-terminal pair, played by a test: the port under test opens the
// slave path, the test reads and writes the master as the instrument would.
namespace quorvel::testing {

class PtyPeer {
 public:
  PtyPeer();  // fails the current test (ADD_FAILURE) when no pair can be made
  ~PtyPeer();
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  const std::string& slavePath() const { return slavePath_; }
  // A descriptor of the slave held open by the test: lets it look at the line's settings,
  // and keeps the master from seeing a hang-up whenever the port under test closes.
  int slaveFd() const { return slaveFd_; }

  // Sends bytes to the port under test.
  void send(const std::string& bytes);
  // Up to `count` bytes the port has written, waiting at most `timeoutMs` for all of them.
  std::string receive(std::size_t count, int timeoutMs);
  // Pulls the line: closes the master.
  void hangUp();

 private:
  int masterFd_ = -1;
  int slaveFd_ = -1;
  std::string slavePath_;
};

}  // namespace quorvel::testing
