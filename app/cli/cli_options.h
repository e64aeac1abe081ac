#pragma once

#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "engine/restart_check.h"
#include "quorvel_version.h"

namespace quorvel::cli {

inline constexpr const char* kProgramName = "quorvel-upgrade";
inline constexpr const char* kVersionText = QUORVEL_VERSION;

// The --port value that has the probe find the instrument's port.
inline constexpr const char* kAutoPort = "auto";
// Instruments one upgrade run serves at most.
inline constexpr std::size_t kMaxPorts = 32;

struct CliOptions {
  enum class Action { Run, ListPorts, Find, Help, Version, UsageError };
  Action action = Action::Run;
  std::vector<std::string> ports;  // each --port, in order; 1 to kMaxPorts distinct for Run
  bool assumeYes = false;
  std::string image;       // --image as given; empty: quorvel.out
  std::string converter;   // --converter as given; empty: hex55 found as usual
  std::string record;      // --record FILE; empty: none
  std::string transcript;  // --transcript FILE; empty: none
  bool verify = false;     // --verify: wait for the instrument to answer after "GO"
  std::uint32_t verifyTimeoutSeconds = kRestartLimitDefaultS;  // --verify-timeout SECONDS
  bool json = false;  // --json: the run's events on standard output
  std::string error;  // what was wrong with the command line, for UsageError
};

// Reads the arguments after the program name. Nothing is run here, so a bad command line
// is reported before the converter starts.
CliOptions parseOptions(const std::vector<std::string>& args);

std::string usageText();
std::string versionText();

}  // namespace quorvel::cli
