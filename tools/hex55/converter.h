#pragma once

#include <optional>
#include <span>
#include <string>

namespace quorvel::hex55 {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct CommandLine {
  std::string input;
  std::string lsbOutput;
  std::string msbOutput;
};

// Accepts exactly "-a INPUT -o LSB -o MSB" (the arguments after the program name).
std::optional<CommandLine> parseCommandLine(std::span<const char* const> args);

const char* usageText();

// Converts INPUT (Intel HEX or ELF, told apart by content) into the two ASCII-hex files.
// On failure `error` holds one line and neither output file exists afterwards: a stale
// pair from an earlier run must not pass for the conversion of this input.
bool convert(const CommandLine& commandLine, std::string& error);

// The whole program: parse, convert, report on stderr; returns the exit status.
int runHex55(std::span<const char* const> args);

}  // namespace quorvel::hex55
