#include "app/cli/cli_front_end.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>

#include "app/cli/console.h"
#include "app/cli/port_commands.h"
#include "app/cli/progress_display.h"

namespace quorvel::cli {

static_assert(kExitDeclined == quorvel::kExitDeclined);
static_assert(kExitUsage == quorvel::kExitMissingFile);

namespace {

constexpr const char* kEraseWarningLine1 =
    "ALL DATA WILL BE ERASED, so you should import them to your";
constexpr const char* kEraseWarningLine2 = "PC before downloading the new firmware !";
constexpr const char* kConfirmQuestion = "DO YOU REALLY WANT TO CONTINUE ?";
constexpr const char* kPowerCycleRequest = "Turn OFF and then turn ON your Quorvel.";
constexpr const char* kSuccessMessage = "Download successful.";
constexpr const char* kNothingSent = "nothing was sent to the instrument.";

void say(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

// Reads the answer to a prompt. A terminal echoes the line end itself; input from a file or
// a pipe does not, so the next message would otherwise continue the prompt's line.
LineStatus readAnswer(std::string& answer) {
  LineStatus status = readLine(answer);
  if (status != LineStatus::Line || !isTerminal(stdin)) say("\n");
  return status;
}

bool isKnownResult(std::int32_t result) {
  return result == PortNotOpened || result == FilesCorrupted || result == TransferFailed ||
         result == Cancelled;
}

int interruptedStatus() {
  return kExitSignalBase + interruptSignal();
}

// An interrupt before the download: says so, and gives its exit status.
int interruptedExit() {
  say(std::string("Upgrade interrupted (") + interruptName(interruptSignal()) +
      ") before anything was sent to the instrument.\n");
  return interruptedStatus();
}

// A prompt that was not answered with a go-ahead: says why nothing happens; the exit status.
int refusedExit(LineStatus answer) {
  switch (answer) {
    case LineStatus::Interrupted:
      return interruptedExit();
    case LineStatus::EndOfInput:
      say(std::string("No answer (end of input): ") + kNothingSent + "\n");
      return kExitDeclined;
    case LineStatus::Line:
      break;
  }
  say(std::string("Upgrade declined: ") + kNothingSent + "\n");
  return kExitDeclined;
}

// Shows the progress until the worker has posted its end; the main thread sleeps in between.
bool followProgress(const ProgressChannel& channel) {
  ProgressDisplay display(stderr, chooseProgressStyle(isTerminal(stderr), outputsShareTerminal()));
  bool cancelAnnounced = false;
  for (;;) {
    ProgressChannel::Snapshot state = channel.snapshot();
    if (state.percent >= 0) display.show(static_cast<unsigned>(state.percent));
    if (state.ended) return state.succeeded;
    if (interruptSignal() != 0 && !cancelAnnounced) {
      display.endLine();
      say("Canceling the download...\n");
      cancelAnnounced = true;
    }
    waitForWake();
  }
}

}  // namespace

bool isYesAnswer(const std::string& answer) {
  std::string word;
  for (char c : answer) {
    if (!std::isspace(static_cast<unsigned char>(c))) {
      word.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
  }
  return word == "y" || word == "yes";
}

TerminalFrontEnd::TerminalFrontEnd(const CliOptions& options)
    : options_(options), port_(options.ports.empty() ? std::string() : options.ports.front()) {}

// A converter that hangs is ended by the interrupt (requestConverterStop); nothing of the
// start-up follows it.
int TerminalFrontEnd::afterConversion() {
  return interruptSignal() != 0 ? interruptedExit() : 0;
}

void TerminalFrontEnd::showSplash() {
  say(std::string("Quorvel Zambrio firmware upgrade, ") + versionText());
}

// The files are looked for in the working directory, wherever the program itself lies.
void TerminalFrontEnd::showMissingFile(const RequiredFileCheck& check) {
  say("Required file " + check.missingFile +
      " not found !\nPlease copy it in the current directory, where " + kProgramName +
      " looks for it\n");
}

int TerminalFrontEnd::checkPort() {
  PortChoice choice = checkUpgradePort(port_);
  if (interruptSignal() != 0) return interruptedExit();
  if (choice.status == 0) port_ = choice.port;
  return choice.status;
}

bool TerminalFrontEnd::confirmUpgrade(unsigned major, unsigned minor) {
  say(compatibilityMessage(major, minor) + "\n" + kEraseWarningLine1 + "\n" + kEraseWarningLine2 +
      "\n");
  if (options_.assumeYes) {
    say(std::string(kConfirmQuestion) + " yes (--yes)\n");
    return true;
  }
  say(std::string(kConfirmQuestion) + " [y/N] ");
  std::string answer;
  const LineStatus status = readAnswer(answer);
  if (status == LineStatus::Line && isYesAnswer(answer)) return true;
  declinedStatus_ = refusedExit(status);
  return false;
}

int TerminalFrontEnd::runUpgrade(Downloader& downloader) {
  downloader.setPortName(port_.c_str());
  if (port_ != downloader.portName()) {
    // Opening a cut name could reach another device than the one the user named.
    say(std::string("ERROR : The port name ") + port_ + " is too long (at most " +
        std::to_string(std::string(downloader.portName()).size()) +
        " characters).\nA shorter name for the same device serves, such as a symbolic link "
        "in this directory.\n");
    return kExitUsage;
  }
  int status = 0;
  if (!awaitPowerCycle(status)) return status;
  if (interruptSignal() != 0) return interruptedExit();
  return download(downloader);
}

bool TerminalFrontEnd::awaitPowerCycle(int& status) {
  if (options_.assumeYes) return true;
  say(std::string(kPowerCycleRequest) + "\nWhen done press Enter ");
  std::string ignored;
  const LineStatus answer = readAnswer(ignored);
  if (answer == LineStatus::Line) return true;
  // Nobody is there to power-cycle the instrument: do not start.
  status = refusedExit(answer);
  return false;
}

int TerminalFrontEnd::download(Downloader& downloader) {
  CancelOnInterrupt cancelScope(downloader.cancelEvent());
  ProgressChannel channel(wakeMainThread);
  std::thread worker;
  try {
    worker = std::thread([&downloader, &channel] {
      bool succeeded = downloader.runDownload(channel, WM_DOWNLOAD_PROGRESS);
      channel.post(WM_DOWNLOAD_END, succeeded ? 1 : 0, 0);
    });
  } catch (const std::system_error&) {
    say("ERROR : Unable to start the download.\n");
    return kExitInternal;
  }
  bool succeeded = followProgress(channel);
  worker.join();
  if (succeeded) {
    say(std::string(kSuccessMessage) + "\n");
    return 0;
  }
  say(downloader.resultMessage() + "\n");
  // A failed run must never leave with status 0, whatever its result says.
  return isKnownResult(downloader.result()) ? downloader.result() : kExitInternal;
}

int runCli(const std::vector<std::string>& args) {
  CliOptions options = parseOptions(args);
  switch (options.action) {
    case CliOptions::Action::Help:
      std::fputs(usageText().c_str(), stdout);
      return 0;
    case CliOptions::Action::Version:
      std::fputs(versionText().c_str(), stdout);
      return 0;
    case CliOptions::Action::UsageError:
      say(std::string(kProgramName) + ": " + options.error + "\n" + usageText());
      return kExitUsage;
    case CliOptions::Action::Run:
    case CliOptions::Action::ListPorts:
    case CliOptions::Action::Find:
      break;
  }
  if (options.action == CliOptions::Action::ListPorts) return listPortsCommand();
  if (options.action == CliOptions::Action::Find) return findCommand(options.ports);
  InterruptGuard interrupts;
  TerminalFrontEnd frontEnd(options);
  const int status = runStartup(frontEnd);
  return status == kExitDeclined ? frontEnd.declinedStatus() : status;
}

int cliMain(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return runCli(args);
  } catch (const std::exception& error) {
    // Unwinding has run the downloader's destructor: the temporary files are gone.
    say(std::string(kProgramName) + ": internal error (" + error.what() +
        "); the upgrade was stopped.\n");
    return kExitInternal;
  }
}

}  // namespace quorvel::cli
