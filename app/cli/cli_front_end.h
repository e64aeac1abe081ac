#pragma once

#include "app/cli/cli_options.h"
#include "app/startup.h"

namespace quorvel::cli {

// The start-up sequence's user interaction on a terminal: prompts and messages on standard
// error (standard output carries the traces), answers from standard input.
class TerminalFrontEnd : public StartupFrontEnd {
 public:
  explicit TerminalFrontEnd(const CliOptions& options);

  int afterConversion() override;
  void showSplash() override;
  void showMissingFile(const RequiredFileCheck& check) override;
  int checkPort() override;
  bool confirmUpgrade(unsigned major, unsigned minor) override;
  int runUpgrade(Downloader& downloader) override;

  // The exit status that goes with a false confirmUpgrade(): 1, or 128 + N after signal N.
  int declinedStatus() const { return declinedStatus_; }

 private:
  // False when the user did not confirm the power cycle; `status` then holds the exit code.
  bool awaitPowerCycle(int& status);
  int download(Downloader& downloader);

  const CliOptions& options_;
  std::string port_;  // the port given, or the one the probe found
  int declinedStatus_ = kExitDeclined;
};

// Runs quorvel-upgrade with the arguments after the program name; returns the exit status.
int runCli(const std::vector<std::string>& args);

// The program's entry point: runCli, and one line on standard error for an internal error.
int cliMain(int argc, char** argv);

// "y" or "yes" in any case, blanks around it allowed.
bool isYesAnswer(const std::string& answer);

}  // namespace quorvel::cli
