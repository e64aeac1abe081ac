#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/cli/bench_run.h"
#include "app/cli/cli_options.h"
#include "app/cli/transcript.h"
#include "app/cli/unit_record.h"
#include "app/cli/workspace.h"
#include "app/startup.h"
#include "serial/port_reservation.h"

namespace quorvel::cli {

// What an upgrade converts: the image as the user named it, copied into the private
// directory, and the converter that runs there.
struct ImageSource {
  std::string image;  // as given, or "quorvel.out"
  bool imageGiven = false;
  ConverterChoice converter;
  bool converterGiven = false;
  std::string directory;              // the private directory
  std::optional<std::string> sha256;  // of the copy converted; none when nothing was copied
};

// The run's record and transcript, opened before anything else is done.
class RunFiles {
 public:
  // False with `error` when a file that was asked for cannot be written.
  bool open(const CliOptions& options, std::string& error);
  RecordFile* record() { return record_.isOpen() ? &record_ : nullptr; }
  Transcript* transcript() { return transcript_.isOpen() ? &transcript_ : nullptr; }

 private:
  RecordFile record_;
  Transcript transcript_;
};

// The start-up sequence's user interaction on a terminal: prompts and messages on standard
// error (standard output carries the traces), answers from standard input.
class TerminalFrontEnd : public StartupFrontEnd {
 public:
  TerminalFrontEnd(const CliOptions& options, const ImageSource& source, RunFiles& files);

  ConversionSetup conversionSetup() override;
  int afterConversion() override;
  void showSplash() override;
  RequiredFileCheck requiredFiles() override;
  void showMissingFile(const RequiredFileCheck& check) override;
  int checkPort() override;
  bool confirmUpgrade(unsigned major, unsigned minor) override;
  int runUpgrade(Downloader& downloader) override;

  // The exit status that goes with a false confirmUpgrade(): 1, or 128 + N after signal N.
  int declinedStatus() const { return declinedStatus_; }

 private:
  // False when the user did not confirm the power cycle; `status` then holds the exit code.
  bool awaitPowerCycle(int& status);
  int download(Downloader& downloader, const RunRecords& records);
  RunRecords runRecords(const FirmwareImage& image);

  const CliOptions& options_;
  const ImageSource& source_;
  RunFiles& files_;
  std::vector<std::string> ports_;  // as given, or the one the probe found
  // The ports' reservations, from the port check to the end of the run.
  std::vector<PortReservation> reservations_;
  int declinedStatus_ = kExitDeclined;
};

// Runs quorvel-upgrade with the arguments after the program name; returns the exit status.
int runCli(const std::vector<std::string>& args);

// The program's entry point: runCli, and one line on standard error for an internal error.
int cliMain(int argc, char** argv);

// "y" or "yes" in any case, blanks around it allowed.
bool isYesAnswer(const std::string& answer);

}  // namespace quorvel::cli
