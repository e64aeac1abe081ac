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

std::string faultText(const CommandLine::Fault& fault) {
  switch (fault.kind) {
    case CommandLine::Fault::Kind::MissingValue:
      return "option " + fault.argument + " needs a " +
             (fault.argument == "--port" ? "NAME" : "FILE");
    case CommandLine::Fault::Kind::BadValue:  // an empty one: the only value refused here
      return "the value of " + fault.argument + " is empty";
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
  return options;
}

}  // namespace

CliOptions parseOptions(const std::vector<std::string>& args) {
  CliOptions options;
  bool listPorts = false;
  bool find = false;
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
  commandLine.addFlag("-y,--yes", [&options] { options.assumeYes = true; });
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
         "  --image FILE  the firmware image (default: quorvel.out in the current directory)\n"
         "  --converter FILE  the converter (default: hex55 in the current directory, else\n"
         "                the one beside this program)\n"
         "  --record FILE  append one JSON line per instrument and run (JSON Lines)\n"
         "  --transcript FILE  write every byte sent and received, with the traces\n"
         "  --list-ports  list the serial ports of this computer: name, description, USB id,\n"
         "                serial\n"
         "  --find        probe every listed port, or each --port given, with one read-only\n"
         "                request; print PORT<TAB>register 0xNNNN for each that answered\n"
         "  --help        show this text\n"
         "  --version     show the version\n"
         "\n"
         "Traces go to standard output, prefixed with their port when there are several;\n"
         "prompts, progress and messages to standard error. Ctrl+C, SIGTERM or SIGHUP during\n"
         "the download cancels it on every port still running; before it, they end the\n"
         "program (and a running converter).\n"
         "\n"
         "Exit status (several ports: 0 when all succeeded, else the highest result):\n"
         "  0    download successful; --find: an instrument answered\n"
         "  1    the erase warning or the power-cycle prompt was declined (or input ended)\n"
         "  2    usage error, the image or the converter missing, the record or transcript\n"
         "       not writable, or several instruments answered --port auto\n"
         "  3    the download could not be started (no thread, no private directory)\n"
         "  10   the serial port does not exist or could not be opened (a device server:\n"
         "       not reached, no RFC 2217, speed not confirmed), or no instrument\n"
         "       answered --find or --port auto\n"
         "  20   the image or its conversion is corrupted\n"
         "  30   a sector was not acknowledged after three tries\n"
         "  40   the download was canceled (Ctrl+C or SIGTERM)\n"
         "  128+N  interrupted by signal N before the download started\n";
}

std::string versionText() {
  return std::string(kProgramName) + " version " + kVersionText + "\n";
}

}  // namespace quorvel::cli
