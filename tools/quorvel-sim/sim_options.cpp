#include "tools/quorvel-sim/sim_options.h"

#include <charconv>
#include <functional>
#include <string_view>
#include <utility>

#include "app/command_line.h"

namespace quorvel::sim {
namespace {

constexpr std::uint32_t kMaxSectorNumber = 0xFFFFFFFFu;
constexpr std::uint32_t kMaxFaultRepeats = 1000000;
constexpr std::uint32_t kMaxSlaveAddress = 255;

// Decimal, or hexadecimal with a 0x prefix. No octal: "010" is ten, as a user would expect.
bool parseNumber(std::string_view text, std::uint32_t min, std::uint32_t max,
                 std::uint32_t& value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return false;
  std::uint64_t parsed = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed, base);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (parsed < min || parsed > max) return false;
  value = static_cast<std::uint32_t>(parsed);
  return true;
}

// "N" or "N:K" -> sector N, K times (K defaults to 1).
bool parseSectorFault(std::string_view text, std::map<std::uint32_t, std::uint32_t>& faults) {
  std::uint32_t sector = 0;
  std::uint32_t times = 1;
  const auto colon = text.find(':');
  if (!parseNumber(text.substr(0, colon), 1, kMaxSectorNumber, sector)) return false;
  if (colon != std::string_view::npos &&
      !parseNumber(text.substr(colon + 1), 1, kMaxFaultRepeats, times)) {
    return false;
  }
  faults[sector] = times;
  return true;
}

using ValueSetter = std::function<bool(const std::string&)>;

template <typename T>
ValueSetter numberSetter(T& target, std::uint32_t min, std::uint32_t max) {
  return [&target, min, max](const std::string& text) {
    std::uint32_t value = 0;
    if (!parseNumber(text, min, max, value)) return false;
    target = static_cast<T>(value);
    return true;
  };
}

ValueSetter pathSetter(std::string& target) {
  return [&target](const std::string& text) {
    target = text;
    return !target.empty();
  };
}

ValueSetter faultSetter(std::map<std::uint32_t, std::uint32_t>& target) {
  return [&target](const std::string& text) { return parseSectorFault(text, target); };
}

void addValueOptions(CommandLine& commandLine, SimOptions& o) {
  commandLine.addValue("--link", pathSetter(o.linkPath));
  commandLine.addValue("--dump", pathSetter(o.dumpPath));
  commandLine.addValue("--stats", pathSetter(o.statsPath));
  commandLine.addValue("--register-value", numberSetter(o.registerValue, 0, 0xFFFF));
  commandLine.addValue("--expect-compat", [&o](const std::string& text) {
    o.expectCompat = true;
    return numberSetter(o.expectedCompat, 0, 0xFFFF)(text);
  });
  commandLine.addValue("--ack-bytes", numberSetter(o.ackBytes, 1, 2));
  commandLine.addValue("--frame-gap-ms", numberSetter(o.frameGapMs, 1, kMaxFrameGapMs));
  commandLine.addValue("--modbus-slave", numberSetter(o.answerAddress, 0, kMaxSlaveAddress));
  commandLine.addValue("--reject-sector", faultSetter(o.rejectSectors));
  commandLine.addValue("--silent-sector", faultSetter(o.silentSectors));
  commandLine.addValue("--garbage-sector", faultSetter(o.garbageSectors));
  commandLine.addValue("--drop-after-sector", numberSetter(o.dropAfterSector, 1, kMaxSectorNumber));
  commandLine.addValue("--late-sector", numberSetter(o.lateSector, 1, kMaxSectorNumber));
  commandLine.addValue("--late-ms", numberSetter(o.lateMs, 1, kMaxLateMs));
  commandLine.addValue("--mute-after-sector", numberSetter(o.muteAfterSector, 1, kMaxSectorNumber));
  commandLine.addValue("--restart-ms", numberSetter(o.restartMs, 0, kMaxRestartMs));
  commandLine.addValue("--timeout", numberSetter(o.timeoutS, 1, kMaxTimeoutS));
}

void addFlags(CommandLine& commandLine, SimOptions& o) {
  const std::pair<const char*, bool*> flags[] = {
      {"--silent-modbus", &o.silentModbus},
      {"--modbus-exception", &o.modbusException},
      {"--modbus-lowercase", &o.modbusLowercase},
      {"--pace", &o.pace},
      {"-v,--verbose", &o.verbose},
  };
  for (const auto& [names, flag] : flags) commandLine.addFlag(names, [flag] { *flag = true; });
}

std::string faultText(const CommandLine::Fault& fault) {
  switch (fault.kind) {
    case CommandLine::Fault::Kind::MissingValue:
      return fault.argument + " needs a value";
    case CommandLine::Fault::Kind::BadValue:
      return "bad value for " + fault.argument + ": '" + fault.value + "'";
    case CommandLine::Fault::Kind::UnknownArgument:
      break;
  }
  return "unknown option '" + fault.argument + "'";
}

}  // namespace

ParseOutcome parseSimOptions(const std::vector<std::string>& args, SimOptions& options,
                             std::string& error) {
  CommandLine commandLine;
  commandLine.addStop("-h,--help", static_cast<int>(ParseOutcome::Help));
  commandLine.addStop("--version", static_cast<int>(ParseOutcome::Version));
  addValueOptions(commandLine, options);
  addFlags(commandLine, options);
  const CommandLine::Outcome outcome = commandLine.read(args);
  if (outcome.fault) {
    error = faultText(*outcome.fault);
    return ParseOutcome::Error;
  }
  return outcome.stop != 0 ? static_cast<ParseOutcome>(outcome.stop) : ParseOutcome::Run;
}

std::string simUsage() {
  return R"(Usage: quorvel-sim [options]
The simulated Quorvel instrument on a pseudo-terminal. Prints the pty's device path as its
first line on stdout once it is ready, then plays the instrument: a Modbus ASCII slave
(address 1) until the download order, then the loader that takes sector frames and "GO".

Options (numbers in decimal or 0x hex; --opt=value works too):
  --link PATH               make PATH a symlink to the pty (removed on exit)
  --dump FILE               on "GO", write the received image to FILE as Intel HEX
                            (byte address = word address x 2, low byte first)
  --stats FILE              on exit, write per-frame turnaround times as CSV:
                            frame,sector,bytes,previous_answer,ack_to_first_byte_us,
                            ack_to_last_byte_us (time from writing the previous answer
                            to the first and to the last byte of this frame)
  --register-value V        value of holding register 0x001C (default 0x0100); the
                            download order is the value 1 written at V + 1
  --expect-compat V         answer "B" to frames whose compatibility word is not V
  --ack-bytes 1|2           answer "G"/"B" alone or followed by CR (default 2)
  --frame-gap-ms N          quiet time that ends a sector frame (default 20)
  --silent-modbus           start in loader mode; Modbus requests get no answer
  --modbus-exception        answer Modbus requests with an exception
  --modbus-lowercase        answer Modbus requests in lower-case hex
  --modbus-slave N          answer Modbus requests as slave N
  --reject-sector N[:K]     answer "B" to the first K arrivals of sector N (K=1)
  --silent-sector N[:K]     do not answer the first K arrivals of sector N (K=1)
  --garbage-sector N[:K]    answer "X" to the first K arrivals of sector N (K=1)
  --drop-after-sector N     close the line once sector N has been acknowledged
  --late-sector N           acknowledge sector N only --late-ms after its frame ended
                            (frames that arrive meanwhile are still taken)
  --late-ms MS              the delay of --late-sector (default 10300: just after a
                            host's ten reads of 1000 ms, before its retry)
  --mute-after-sector N     once sector N has been acknowledged, answer no frame at all
                            (the line stays open; "GO" is still taken)
  --restart-ms N            after "GO", run the application again N ms later: answer
                            Modbus requests (at 9600) until the host closes the port;
                            without it, the simulator ends on "GO"
  --pace                    answer no sooner than the real line would allow
                            (bytes x 10 / baud, at the baud rate the host set)
  -v, --verbose             log every exchange with CLOCK_MONOTONIC time stamps
                            on stderr
  --timeout S               give up after S seconds (default 600)
  -h, --help                this text
  --version                 show the version

Sectors are numbered from 1 in the order received; a retry of a sector that was not
acknowledged is the same sector. Fault options may be repeated for several sectors.

Exit codes: 0 "GO" received (and dump written), 1 usage error, 2 failure (pty, link, dump,
stats), 3 timed out, 4 line dropped on purpose, 5 terminated by SIGTERM/SIGINT.
)";
}

}  // namespace quorvel::sim
