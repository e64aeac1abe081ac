#pragma once

// Exit statuses of the upgrade programs besides the download results (0, 10, 20, 30, 40),
// shared by the start-up sequence and the command-line front end.
namespace quorvel {

inline constexpr int kExitDeclined = 1;  // the user answered NO (or stdin ended)
inline constexpr int kExitUsage = 2;     // a bad command line, or a required file missing
inline constexpr int kExitMissingFile = kExitUsage;
inline constexpr int kExitInternal = 3;      // the download could not be started or ended oddly
inline constexpr int kExitSignalBase = 128;  // interrupted before the download: 128 + signal

}  // namespace quorvel
