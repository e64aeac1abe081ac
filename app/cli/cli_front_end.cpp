#include "app/cli/cli_front_end.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <thread>

#include "app/cli/console.h"
#include "app/cli/port_commands.h"
#include "app/cli/progress_display.h"
#include "platform/timing.h"

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

void TerminalFrontEnd::showSplash() {
  say(std::string("Quorvel Zambrio firmware upgrade, ") + versionText());
}

void TerminalFrontEnd::showMissingFile(const std::string& message) {
  say(message + "\n");
}

int TerminalFrontEnd::checkPort() {
  PortChoice choice = checkUpgradePort(port_);
  if (interruptSignal() != 0) return interruptedStatus();
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
  return readAnswer(answer) == LineStatus::Line && isYesAnswer(answer);
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
  if (interruptSignal() != 0) return interruptedStatus();
  return download(downloader);
}

bool TerminalFrontEnd::awaitPowerCycle(int& status) {
  if (options_.assumeYes) return true;
  say(std::string(kPowerCycleRequest) + "\nWhen done press Enter ");
  std::string ignored;
  switch (readAnswer(ignored)) {
    case LineStatus::Line:
      return true;
    case LineStatus::EndOfInput:
      // Nobody is there to power-cycle the instrument: do not start.
      status = kExitDeclined;
      return false;
    case LineStatus::Interrupted:
      status = interruptedStatus();
      return false;
  }
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
  ScopedTimingScale scale(timeDivisorFromEnvironment());
  if (options.action == CliOptions::Action::ListPorts) return listPortsCommand();
  if (options.action == CliOptions::Action::Find) return findCommand(options.ports);
  InterruptGuard interrupts;
  TerminalFrontEnd frontEnd(options);
  int status = runStartup(frontEnd);
  if (status == kExitDeclined && interruptSignal() != 0) status = interruptedStatus();
  return status;
}

}  // namespace quorvel::cli
