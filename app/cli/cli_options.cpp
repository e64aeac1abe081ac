#include "app/cli/cli_options.h"

#include "app/command_line.h"
#include "serial/network_port_name.h"
#include "serial/port_list.h"

namespace quorvel::cli {
namespace {

CliOptions usageError(std::string message) {
  CliOptions options;
  options.action = CliOptions::Action::UsageError;
  options.error = std::move(message);
  return options;
}

// An argument that names no option, or one that no option takes.
std::string unexpectedArgumentError(const std::string& arg) {
  if (!arg.empty() && arg[0] == '-') return "unknown option " + arg;
  return "unexpected argument " + arg;
}

constexpr const char* kVerifyTimeout = "--verify-timeout";

std::string valueName(const std::string& option) {
  if (option == "--port") return "NAME";
  return option == kVerifyTimeout ? "SECONDS" : "FILE";
}

// The seconds of --verify-timeout: a whole number from the lowest to the highest limit.
bool readSeconds(const std::string& text, std::uint32_t& seconds) {
  if (text.empty() || text.size() > 3) return false;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value < kRestartLimitMinS || value > kRestartLimitMaxS) return false;
  seconds = value;
  return true;
}

std::string faultText(const CommandLine::Fault& fault) {
  switch (fault.kind) {
    case CommandLine::Fault::Kind::MissingValue:
      return "option " + fault.argument + " needs a " + valueName(fault.argument);
    case CommandLine::Fault::Kind::BadValue:
      if (fault.argument == kVerifyTimeout) {
        return std::string(kVerifyTimeout) + " takes whole seconds from " +
               std::to_string(kRestartLimitMinS) + " to " + std::to_string(kRestartLimitMaxS) +
               ", not \"" + fault.value + "\"";
      }
      return "the value of " + fault.argument + " is empty";  // the only other value refused
    case CommandLine::Fault::Kind::UnknownArgument:
      break;
  }
  return unexpectedArgumentError(fault.argument);
}

// The option of an upgrade that a port command was given, or null.
const char* upgradeOnlyOption(const CliOptions& options) {
  if (!options.image.empty()) return "--image";
  if (!options.converter.empty()) return "--converter";
  if (!options.record.empty()) return "--record";
  if (!options.transcript.empty()) return "--transcript";
  if (options.verify) return "--verify";
  if (options.json) return "--json";
  return nullptr;
}

CliOptions listPortsOptions(CliOptions options) {
  if (!options.ports.empty()) return usageError("--list-ports takes no --port");
  options.action = CliOptions::Action::ListPorts;
  return options;
}

CliOptions findOptions(CliOptions options) {
  for (const std::string& port : options.ports) {
    if (port == kAutoPort) return usageError("--find without --port probes every port");
  }
  options.action = CliOptions::Action::Find;
  return options;
}

// A malformed network name, or a kind of port that cannot serve (a raw TCP port).
std::string portNamesError(const std::vector<std::string>& ports) {
  for (const std::string& port : ports) {
    if (std::string problem = portNameProblem(port); !problem.empty()) return problem;
  }
  return {};
}

// Two names of one device would have two transfers fight over it.
std::string repeatedPortError(const std::vector<std::string>& ports) {
  for (std::size_t i = 0; i < ports.size(); ++i) {
    for (std::size_t j = i + 1; j < ports.size(); ++j) {
      if (ports[i] == ports[j]) return "the port " + ports[i] + " is given twice";
      if (portIdentity(ports[i]) == portIdentity(ports[j])) {
        return "the ports " + ports[i] + " and " + ports[j] + " are the same device";
      }
    }
  }
  return {};
}

CliOptions upgradeOptions(CliOptions options) {
  if (options.ports.empty()) return usageError("option --port NAME is required");
  if (options.ports.size() > kMaxPorts) {
    return usageError("at most " + std::to_string(kMaxPorts) + " --port in one run");
  }
  for (const std::string& port : options.ports) {
    if (port == kAutoPort && options.ports.size() > 1) {
      return usageError("--port auto upgrades the one instrument it finds: no other --port");
    }
  }
  if (std::string error = repeatedPortError(options.ports); !error.empty()) {
    return usageError(error);
  }
  // Nobody answers a prompt of a run that a program reads.
  if (options.json && !options.assumeYes) return usageError("--json needs --yes");
  return options;
}

}  // namespace

CliOptions parseOptions(const std::vector<std::string>& args) {
  CliOptions options;
  bool listPorts = false;
  bool find = false;
  bool verifyTimeoutGiven = false;
  auto setTo = [](std::string& field) {
    return [&field](const std::string& value) {
      field = value;
      return !value.empty();
    };
  };
  CommandLine commandLine;
  commandLine.addStop("-h,--help", static_cast<int>(CliOptions::Action::Help));
  commandLine.addStop("--version", static_cast<int>(CliOptions::Action::Version));
  commandLine.addValue("--port", [&options](const std::string& value) {
    options.ports.push_back(value);
    return !value.empty();
  });
  commandLine.addValue("--image", setTo(options.image));
  commandLine.addValue("--converter", setTo(options.converter));
  commandLine.addValue("--record", setTo(options.record));
  commandLine.addValue("--transcript", setTo(options.transcript));
  commandLine.addValue(kVerifyTimeout, [&options, &verifyTimeoutGiven](const std::string& value) {
    verifyTimeoutGiven = true;
    return readSeconds(value, options.verifyTimeoutSeconds);
  });
  commandLine.addFlag("-y,--yes", [&options] { options.assumeYes = true; });
  commandLine.addFlag("--verify", [&options] { options.verify = true; });
  commandLine.addFlag("--json", [&options] { options.json = true; });
  commandLine.addFlag("--list-ports", [&listPorts] { listPorts = true; });
  commandLine.addFlag("--find", [&find] { find = true; });
  const CommandLine::Outcome outcome = commandLine.read(args);
  if (outcome.fault) return usageError(faultText(*outcome.fault));
  if (outcome.stop != 0) {
    CliOptions stopped;
    stopped.action = static_cast<CliOptions::Action>(outcome.stop);
    return stopped;
  }
  if (listPorts && find) return usageError("choose either --list-ports or --find");
  if (std::string error = portNamesError(options.ports); !error.empty()) return usageError(error);
  if (verifyTimeoutGiven && !options.verify) {
    return usageError(std::string(kVerifyTimeout) + " goes with --verify");
  }
  if (listPorts || find) {
    if (const char* option = upgradeOnlyOption(options)) {
      return usageError(std::string(option) + " applies to an upgrade only");
    }
  }
  if (listPorts) return listPortsOptions(std::move(options));
  if (find) return findOptions(std::move(options));
  return upgradeOptions(std::move(options));
}

std::string usageText() {
  return std::string("Usage: ") + kProgramName +
         " --port NAME|auto [--port NAME]... [--yes]\n"
         "         [--image FILE] [--converter FILE] [--record FILE] [--transcript FILE]\n"
         "         [--verify [--verify-timeout SECONDS]] [--json]\n"
         "       " +
         kProgramName +
         " --list-ports\n"
         "       " +
         kProgramName +
         " --find [--port NAME]...\n"
         "       " +
         kProgramName +
         " --help | --version\n"
         "\n"
         "Upgrades a Quorvel, or several at once, with a firmware image converted by hex55 in\n"
         "a private temporary directory; nothing is written to the current directory.\n"
         "\n"
         "  --port NAME   serial port of an instrument (a device path such as /dev/ttyUSB0,\n"
         "                or COMn), or rfc2217://HOST:PORT for one behind a serial device\n"
         "                server (RFC 2217; HOST a name, an IPv4 or an [IPv6] address); up\n"
         "                to 32 for as many instruments upgraded in parallel; auto: the one\n"
         "                local port where an instrument answers the probe\n"
         "  --yes         answer YES to the erase warning and skip the power-cycle prompt\n"
         "  --image FILE  the firmware image, at most 256 MiB (default: quorvel.out in the\n"
         "                current directory)\n"
         "  --converter FILE  the converter (default: hex55 in the current directory, else\n"
         "                the one beside this program)\n"
         "  --record FILE  append one JSON line per instrument and run (JSON Lines)\n"
         "  --transcript FILE  write every byte sent and received, with the traces\n"
         "                (image, record and transcript: regular files, three different\n"
         "                ones; a FIFO, device, directory or socket is refused)\n"
         "  --verify      after \"GO\", wait until the instrument answers again in its new\n"
         "                firmware; result 50 when it does not\n"
         "  --verify-timeout SECONDS  how long after \"GO\" (1 to 600; default 60)\n"
         "  --json        the run's events on standard output, one JSON object per line and\n"
         "                nothing else (traces included); needs --yes\n"
         "  --list-ports  list the serial ports of this computer: name, description, USB id,\n"
         "                serial\n"
         "  --find        probe every listed port, or each --port given, with one read-only\n"
         "                request; print PORT<TAB>register 0xNNNN for each that answered\n"
         "  --help        show this text\n"
         "  --version     show the version\n"
         "\n"
         "Traces go to standard output, prefixed with their port when there are several\n"
         "(with --json, as events); prompts, progress and messages to standard error.\n"
         "Ctrl+C, SIGTERM or SIGHUP during the download, or during --verify's wait, cancels\n"
         "it on every port still running; before it, they end the program (and a running\n"
         "converter).\n"
         "\n"
         "Exit status (several ports: the highest result; when all succeeded, 0, or 2 when\n"
         "the record lacks one):\n"
         "  0    download successful; --find: an instrument answered\n"
         "  1    the erase warning or the power-cycle prompt was declined (or input ended)\n"
         "  2    usage error, the image or the converter missing, the record or transcript\n"
         "       not writable, a file that is not a regular file or is named twice, several\n"
         "       instruments answered --port auto, or a success missing from the record\n"
         "  3    the download could not be started (no thread, no private directory)\n"
         "  10   the serial port does not exist or could not be opened (a device server:\n"
         "       not reached, no RFC 2217, speed not confirmed), or no instrument\n"
         "       answered --find or --port auto\n"
         "  20   the image or its conversion is corrupted, larger than 256 MiB, or not\n"
         "       copied whole\n"
         "  30   a sector was not acknowledged after three tries\n"
         "  40   the download was canceled (Ctrl+C or SIGTERM)\n"
         "  50   --verify: the instrument did not answer after the upgrade\n"
         "  128+N  interrupted by signal N before the download started\n";
}

std::string versionText() {
  return std::string(kProgramName) + " version " + kVersionText + "\n";
}

}  // namespace quorvel::cli
