#include "app/cli/cli_options.h"

namespace quorvel::cli {
namespace {

CliOptions usageError(std::string message) {
  CliOptions options;
  options.action = CliOptions::Action::UsageError;
  options.error = std::move(message);
  return options;
}

}  // namespace

CliOptions parseOptions(const std::vector<std::string>& args) {
  CliOptions options;
  bool portGiven = false;
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
    } else if (arg == "--port") {
      if (i + 1 >= args.size()) return usageError("option --port needs a NAME");
      options.port = args[++i];
      portGiven = true;
    } else if (arg.rfind("--port=", 0) == 0) {
      options.port = arg.substr(7);
      portGiven = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return usageError("unknown option " + arg);
    } else {
      return usageError("unexpected argument " + arg);
    }
  }
  if (!portGiven) return usageError("option --port NAME is required");
  if (options.port.empty()) return usageError("the port name is empty");
  return options;
}

std::string usageText() {
  return std::string("Usage: ") + kProgramName +
         " --port NAME [--yes]\n"
         "       " +
         kProgramName +
         " --help | --version\n"
         "\n"
         "Upgrades a Quorvel with the firmware image quorvel.out of the current directory,\n"
         "converted by the hex55 converter found beside it.\n"
         "\n"
         "  --port NAME  serial port of the instrument (a device path such as /dev/ttyUSB0,\n"
         "               or COMn)\n"
         "  --yes        answer YES to the erase warning and skip the power-cycle prompt\n"
         "  --help       show this text\n"
         "  --version    show the version\n"
         "\n"
         "Traces go to standard output; prompts, progress and messages to standard error.\n"
         "Ctrl+C, SIGTERM or SIGHUP during the download cancels it; before it, they end\n"
         "the program (and a running converter).\n"
         "\n"
         "Exit status:\n"
         "  0    download successful\n"
         "  1    the erase warning or the power-cycle prompt was declined (or input ended)\n"
         "  2    usage error, or quorvel.out or hex55 missing\n"
         "  3    the download could not be started\n"
         "  10   the serial port could not be opened\n"
         "  20   the image or its conversion is corrupted\n"
         "  30   a sector was not acknowledged after three tries\n"
         "  40   the download was canceled (Ctrl+C or SIGTERM)\n"
         "  128+N  interrupted by signal N before the download started\n";
}

std::string versionText() {
  return std::string(kProgramName) + " version " + kVersionText + "\n";
}

}  // namespace quorvel::cli
