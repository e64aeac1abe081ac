#pragma once

#include <gtest/gtest.h>
#include <termios.h>

#include <cstring>

// The line settings of a terminal, as the serial tests compare them (POSIX).
namespace quorvel::testing {

inline termios lineSettings(int fd) {
  termios settings{};
  EXPECT_EQ(tcgetattr(fd, &settings), 0);
  return settings;
}

inline bool sameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

}  // namespace quorvel::testing
