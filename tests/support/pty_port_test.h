#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "serial/serial_port.h"
#include "tests/support/pty_peer.h"

namespace quorvel::testing {

inline constexpr std::uint32_t kPtyPortBaud = 115200;

// A SerialPort under test with the test's peer on the far end of a pseudo-terminal; the port
// is closed before the pair goes.
class PtyPortTest : public ::testing::Test {
 protected:
  void openPort(std::uint32_t baud = kPtyPortBaud) {
    ASSERT_TRUE(port.open(peer.slavePath().c_str(), baud));
  }

  PtyPeer peer;
  SerialPort port;
};

}  // namespace quorvel::testing
