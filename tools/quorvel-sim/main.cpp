// quorvel-sim: the simulated Quorvel instrument on a pseudo-terminal (see --help).
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "quorvel_version.h"
#include "tools/quorvel-sim/sim_options.h"
#include "tools/quorvel-sim/simulator.h"

namespace {

volatile std::sig_atomic_t gStopDescriptor = -1;

extern "C" void onStopSignal(int) {
  const int savedErrno = errno;
  const char byte = 's';
  if (gStopDescriptor >= 0) [[maybe_unused]]
    auto ignored = ::write(gStopDescriptor, &byte, 1);
  errno = savedErrno;
}

void installStopHandlers(int stopDescriptor) {
  gStopDescriptor = stopDescriptor;
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quorvel::sim;
  SimOptions options;
  std::string error;
  switch (parseSimOptions({argv + 1, argv + argc}, options, error)) {
    case ParseOutcome::Help:
      std::fputs(simUsage().c_str(), stdout);
      return kExitDone;
    case ParseOutcome::Version:
      std::printf("quorvel-sim version %s\n", QUORVEL_VERSION);
      return kExitDone;
    case ParseOutcome::Error:
      std::fprintf(stderr, "quorvel-sim: %s (see --help)\n", error.c_str());
      return kExitUsage;
    case ParseOutcome::Run:
      break;
  }
  Simulator simulator(options);
  if (!simulator.open(error)) {
    std::fprintf(stderr, "quorvel-sim: %s\n", error.c_str());
    return kExitFailure;
  }
  installStopHandlers(simulator.stopDescriptor());
  // The first line is the readiness signal for scripts: only once everything is in place.
  std::printf("%s\n", simulator.devicePath().c_str());
  std::fflush(stdout);
  return simulator.run();
}
