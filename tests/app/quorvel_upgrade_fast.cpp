// quorvel-upgrade with its timing table shortened by QUORVEL_TIME_DIVISOR, for the tests that
// drive the whole program. A test program only: the shipped one has no such entry point.
#include "app/cli/cli_front_end.h"
#include "platform/timing.h"
#include "tests/support/time_divisor.h"

int main(int argc, char** argv) {
  quorvel::ScopedTimingScale scale(quorvel::testing::timeDivisorFromEnvironment());
  return quorvel::cli::cliMain(argc, argv);
}
