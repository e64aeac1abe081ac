#pragma once

#include "app/cli/cli_options.h"
#include "app/startup.h"

namespace quorvel::cli {

// The start-up sequence's user interaction on a terminal: prompts and messages on standard
// error (standard output carries the traces), answers from standard input.
class TerminalFrontEnd : public StartupFrontEnd {
 public:
  explicit TerminalFrontEnd(const CliOptions& options);

  void showSplash() override;
  void showMissingFile(const std::string& message) override;
  int checkPort() override;
  bool confirmUpgrade(unsigned major, unsigned minor) override;
  int runUpgrade(Downloader& downloader) override;

 private:
  // False when the user did not confirm the power cycle; `status` then holds the exit code.
  bool awaitPowerCycle(int& status);
  int download(Downloader& downloader);

  const CliOptions& options_;
  std::string port_;  // the port given, or the one the probe found
};

// Runs quorvel-upgrade with the arguments after the program name; returns the exit status.
int runCli(const std::vector<std::string>& args);

// "y" or "yes" in any case, blanks around it allowed.
bool isYesAnswer(const std::string& answer);

}  // namespace quorvel::cli
