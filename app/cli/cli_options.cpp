#include "app/cli/cli_options.h"

namespace quorvel::cli {
namespace {

CliOptions usageError(std::string message) {
  CliOptions options;
  options.action = CliOptions::Action::UsageError;
  options.error = std::move(message);
  return options;
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

CliOptions upgradeOptions(CliOptions options) {
  if (options.ports.empty()) return usageError("option --port NAME is required");
  if (options.ports.size() > 1) {
    return usageError("an upgrade takes one --port (several can be probed with --find)");
  }
  return options;
}

}  // namespace

CliOptions parseOptions(const std::vector<std::string>& args) {
  CliOptions options;
  bool listPorts = false;
  bool find = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.action = CliOptions::Action::Help;
      return options;
    }
    if (arg == "--version") {
      options.action = CliOptions::Action::Version;
      return options;
    }
    if (arg == "--yes" || arg == "-y") {
      options.assumeYes = true;
    } else if (arg == "--list-ports") {
      listPorts = true;
    } else if (arg == "--find") {
      find = true;
    } else if (arg == "--port") {
      if (i + 1 >= args.size()) return usageError("option --port needs a NAME");
      options.ports.push_back(args[++i]);
    } else if (arg.rfind("--port=", 0) == 0) {
      options.ports.push_back(arg.substr(7));
    } else if (!arg.empty() && arg[0] == '-') {
      return usageError("unknown option " + arg);
    } else {
      return usageError("unexpected argument " + arg);
    }
  }
  for (const std::string& port : options.ports) {
    if (port.empty()) return usageError("the port name is empty");
  }
  if (listPorts && find) return usageError("choose either --list-ports or --find");
  if (listPorts) return listPortsOptions(std::move(options));
  if (find) return findOptions(std::move(options));
  return upgradeOptions(std::move(options));
}

std::string usageText() {
  return std::string("Usage: ") + kProgramName +
         " --port NAME|auto [--yes]\n"
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
         "Upgrades a Quorvel with the firmware image quorvel.out of the current directory,\n"
         "converted by the hex55 converter found beside it.\n"
         "\n"
         "  --port NAME   serial port of the instrument (a device path such as /dev/ttyUSB0,\n"
         "                or COMn); auto: the one port where an instrument answers the probe\n"
         "  --yes         answer YES to the erase warning and skip the power-cycle prompt\n"
         "  --list-ports  list the serial ports present: name, description, USB id, serial\n"
         "  --find        probe every listed port, or each --port given, with one read-only\n"
         "                request; print PORT<TAB>register 0xNNNN for each that answered\n"
         "  --help        show this text\n"
         "  --version     show the version\n"
         "\n"
         "Traces go to standard output; prompts, progress and messages to standard error.\n"
         "Ctrl+C, SIGTERM or SIGHUP during the download cancels it; before it, they end\n"
         "the program (and a running converter).\n"
         "\n"
         "Exit status:\n"
         "  0    download successful; --find: an instrument answered\n"
         "  1    the erase warning or the power-cycle prompt was declined (or input ended)\n"
         "  2    usage error, quorvel.out or hex55 missing, or several instruments answered\n"
         "       --port auto\n"
         "  3    the download could not be started\n"
         "  10   the serial port does not exist or could not be opened, or no instrument\n"
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
