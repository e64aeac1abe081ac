#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::sim {

// Exit codes of the program; scripts and tests tell the outcomes apart by them.
inline constexpr int kExitDone = 0;         // "GO" received, dump written
inline constexpr int kExitUsage = 1;        // bad command line
inline constexpr int kExitFailure = 2;      // pty, link, dump or stats could not be handled
inline constexpr int kExitTimedOut = 3;     // --timeout elapsed before "GO"
inline constexpr int kExitLineDropped = 4;  // --drop-after-sector took effect
inline constexpr int kExitTerminated = 5;   // SIGTERM or SIGINT

inline constexpr std::uint16_t kDefaultRegisterValue = 0x0100;
inline constexpr std::uint32_t kDefaultFrameGapMs = 20;
inline constexpr std::uint32_t kMaxFrameGapMs = 10000;
// Just too late for a host that reads ten times 1000 ms, yet before its retry 500 ms later.
inline constexpr std::uint32_t kDefaultLateMs = 10300;
inline constexpr std::uint32_t kMaxLateMs = 600000;
inline constexpr std::uint32_t kMaxRestartMs = 600000;
inline constexpr std::uint32_t kDefaultTimeoutS = 600;
inline constexpr std::uint32_t kMaxTimeoutS = 86400;
inline constexpr std::uint8_t kInstrumentAddress = 1;

// Everything that shapes the instrument's behaviour, as given on the command line.
struct SimOptions {
  std::string linkPath;   // --link: symlink to the pty's slave device
  std::string dumpPath;   // --dump: Intel HEX of the received image on "GO"
  std::string statsPath;  // --stats: per-frame turnaround numbers
  std::uint16_t registerValue = kDefaultRegisterValue;
  bool expectCompat = false;
  std::uint16_t expectedCompat = 0;
  int ackBytes = 2;
  std::uint32_t frameGapMs = kDefaultFrameGapMs;
  bool silentModbus = false;  // start in loader mode: Modbus requests go unanswered
  bool modbusException = false;
  bool modbusLowercase = false;
  std::uint8_t answerAddress = kInstrumentAddress;  // --modbus-slave
  // Sector number (from 1) -> how many arrivals of it get the fault.
  std::map<std::uint32_t, std::uint32_t> rejectSectors;
  std::map<std::uint32_t, std::uint32_t> silentSectors;
  std::map<std::uint32_t, std::uint32_t> garbageSectors;
  std::uint32_t dropAfterSector = 0;  // 0: never
  std::uint32_t lateSector = 0;       // 0: none; its acknowledgement waits lateMs
  std::uint32_t lateMs = kDefaultLateMs;
  std::uint32_t muteAfterSector = 0;       // 0: never; once acknowledged, nothing is answered
  std::optional<std::uint32_t> restartMs;  // the application comes back this long after "GO"
  bool pace = false;
  bool verbose = false;
  std::uint32_t timeoutS = kDefaultTimeoutS;
};

enum class ParseOutcome { Run, Help, Version, Error };

// Parses argv[1..]; on Error, `error` says what was wrong.
ParseOutcome parseSimOptions(const std::vector<std::string>& args, SimOptions& options,
                             std::string& error);

// The --help text.
std::string simUsage();

}  // namespace quorvel::sim
