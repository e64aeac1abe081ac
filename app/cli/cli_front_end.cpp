#include "app/cli/cli_front_end.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>

#include "app/cli/cli_options.h"
#include "app/cli/console.h"
#include "app/cli/event_stream.h"
#include "app/cli/multi_unit_run.h"
#include "app/cli/port_commands.h"
#include "app/cli/port_transfer.h"
#include "app/cli/progress_display.h"
#include "app/cli/record_file.h"
#include "app/cli/transcript.h"
#include "app/cli/unit_record.h"
#include "app/cli/workspace.h"
#include "app/startup.h"
#include "platform/path_text.h"
#include "serial/trace.h"

namespace quorvel::cli {

namespace {

constexpr const char* kEraseWarningLine1 =
    "ALL DATA WILL BE ERASED, so you should import them to your";
constexpr const char* kEraseWarningLine2 = "PC before downloading the new firmware !";
constexpr const char* kConfirmQuestion = "DO YOU REALLY WANT TO CONTINUE ?";
constexpr const char* kPowerCycleRequest = "Turn OFF and then turn ON your Quorvel.";
constexpr const char* kNothingSent = "nothing was sent to the instrument.";
constexpr const char* kCopyHint = "Please copy it in the current directory, where ";
constexpr const char* kPathHint = "Please check the path given to ";
// Traces of the main thread in the transcript: they belong to no port.
constexpr const char* kNoPort = "-";

// Reads the answer to a prompt. A terminal echoes the line end itself; input from a file or
// a pipe does not, so the next message would otherwise continue the prompt's line.
LineStatus readAnswer(std::string& answer) {
  LineStatus status = readLine(answer);
  if (status != LineStatus::Line || !isTerminal(stdin)) say("\n");
  return status;
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

// Shows the progress until the worker has posted its end, and when the wait for the
// instrument's restart begins; the main thread sleeps in between.
bool followProgress(const PortTransfer& transfer, std::uint32_t verifyLimitSeconds) {
  ProgressDisplay display(stderr, chooseProgressStyle(isTerminal(stderr), outputsShareTerminal()));
  bool cancelAnnounced = false;
  bool verifyAnnounced = false;
  for (;;) {
    ProgressChannel::Snapshot state = transfer.channel().snapshot();
    if (state.percent >= 0) display.show(static_cast<unsigned>(state.percent));
    if (!state.ended && transfer.counts().state == UnitState::Verifying && !verifyAnnounced) {
      display.endLine();
      say("Waiting for the Quorvel to restart (at most " + std::to_string(verifyLimitSeconds) +
          " s after GO)...\n");
      verifyAnnounced = true;
    }
    // A cancel may end the run before this thread looks again: it is announced all the same.
    if (interruptSignal() != 0 && !cancelAnnounced && !(state.ended && state.succeeded)) {
      display.endLine();
      say("Canceling the download...\n");
      cancelAnnounced = true;
    }
    if (state.ended) return state.succeeded;
    waitForWake();
  }
}

// The missing-file message names the file as the user gave it, or where a default is looked
// for.
RequiredFileCheck missingFile(const std::string& name, const char* option) {
  RequiredFileCheck check;
  check.ok = false;
  check.missingFile = name;
  check.message = "Required file " + name + " not found !\n" +
                  (option != nullptr ? std::string(kPathHint) + kProgramName + " " + option
                                     : std::string(kCopyHint) + kProgramName + " looks for it") +
                  "\n";
  return check;
}

bool entryExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(pathFromText(path), error);
}

// A name the downloader would cut could reach another device than the one the user named.
bool portNameFits(const std::string& port) {
  constexpr std::size_t kMaxChars = kPortNameSize - 1;
  if (port.size() <= kMaxChars) return true;
  say(std::string("ERROR : The port name ") + port + " is too long (at most " +
      std::to_string(kMaxChars) +
      " characters).\nA shorter name for the same device serves, such as a symbolic link "
      "in this directory.\n");
  return false;
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

std::string compatibilityText(std::uint16_t word) {
  return std::to_string(word >> 8) + "." + std::to_string(word & 0xFFu);
}

bool interruptRequested() {
  return interruptSignal() != 0;
}

// Traces of the main thread (the conversion, the image check): to the standard output, or as
// events of no port; to the transcript too.
class MainThreadTraces : public TraceSink {
 public:
  MainThreadTraces(Transcript* transcript, EventSink* events)
      : transcript_(transcript), events_(events) {}
  void write(std::string_view text) override {
    if (events_ == nullptr) {
      writeStandardOutput(text);
    } else {
      for (std::string& line : traceLines(text)) {
        events_->event(
            RunEvent{std::chrono::system_clock::now(), std::nullopt, TraceLine{std::move(line)}});
      }
    }
    if (transcript_ != nullptr) transcript_->traceLine(kNoPort, text);
  }

 private:
  Transcript* transcript_;
  EventSink* events_;  // the JSON stream's, when there is one
};

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

// The run's record, transcript and event stream, opened before anything else is done, and
// the consumers of its events.
class RunFiles {
 public:
  // The stream takes over the standard output at once, for JSON alone.
  explicit RunFiles(bool json);
  // Opens the files the user named: `image` (when it is there: a missing one is reported
  // after the conversion, as always), the record and the transcript. 0 to go on; otherwise
  // the exit status, with `error` saying why: 2 for what is not a regular file, cannot be
  // written, or is one file under two roles; 20 for an image that cannot be read or is too
  // large to be firmware. Nothing is truncated before every check has passed.
  int open(const CliOptions& options, NamedFile& image, std::string& error);
  Transcript* transcript() { return transcript_.isOpen() ? &transcript_ : nullptr; }
  JsonEventStream* stream() { return stream_ ? &*stream_ : nullptr; }
  const RecordSink* record() const { return record_.isOpen() ? &recordSink_ : nullptr; }
  // Every consumer of the run's events, or null when there is none.
  EventSink* events() { return stream_ || record_.isOpen() ? &events_ : nullptr; }
  void tell(RunEventDetail detail) {
    if (EventSink* sinks = events()) {
      sinks->event(RunEvent{std::chrono::system_clock::now(), std::nullopt, std::move(detail)});
    }
  }

 private:
  std::optional<JsonEventStream> stream_;
  RecordFile record_;
  RecordSink recordSink_{record_};
  Transcript transcript_;
  EventSinks events_;
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
  PortTransfer::Setup transferSetup();

  const CliOptions& options_;
  const ImageSource& source_;
  RunFiles& files_;
  std::vector<std::string> ports_;  // as given, or the one the probe found
  // The ports' reservations, from the port check to the end of the run.
  std::vector<PortReservation> reservations_;
  int declinedStatus_ = kExitDeclined;
};

RunFiles::RunFiles(bool json) {
  if (json) stream_.emplace();
  events_.add(stream());
}

// "the transcript X is the same file as the record Y", when it is.
std::string sameFileError(const char* role, const std::string& path, const FileIdentity& identity,
                          const char* otherRole, const std::string& otherPath,
                          const FileIdentity& otherIdentity) {
  if (identity != otherIdentity) return {};
  return std::string(role) + " " + path + " is the same file as " + otherRole + " " + otherPath;
}

int RunFiles::open(const CliOptions& options, NamedFile& image, std::string& error) {
  const std::string imagePath = options.image.empty() ? kImageFileName : options.image;
  switch (image.open(imagePath, FileUse::Read, "the image", error)) {
    case NamedFile::Outcome::Opened:
    case NamedFile::Outcome::Missing:
      break;
    case NamedFile::Outcome::NotRegular:
      return kExitUsage;
    case NamedFile::Outcome::Unavailable:
      return FilesCorrupted;
  }
  if (!options.record.empty()) {
    if (!record_.open(options.record, error)) return kExitUsage;
    if (image.isOpen()) {
      error = sameFileError("the record", options.record, record_.identity(), "the image",
                            imagePath, image.identity());
      if (!error.empty()) return kExitUsage;
    }
    events_.add(&recordSink_);
  }
  if (!options.transcript.empty()) {
    NamedFile file;
    if (file.open(options.transcript, FileUse::Write, "the transcript", error) !=
        NamedFile::Outcome::Opened) {
      return kExitUsage;
    }
    if (record_.isOpen()) {
      error = sameFileError("the transcript", options.transcript, file.identity(), "the record",
                            options.record, record_.identity());
    }
    if (error.empty() && image.isOpen()) {
      error = sameFileError("the transcript", options.transcript, file.identity(), "the image",
                            imagePath, image.identity());
    }
    if (!error.empty() || !transcript_.open(std::move(file), options.transcript, error)) {
      return kExitUsage;
    }
  }
  if (image.isOpen() && image.size() > kMaxImageBytes) {
    error = "the image " + imagePath + " is larger than " + std::to_string(kMaxImageBytes >> 20) +
            " MiB: no firmware image is that large";
    return FilesCorrupted;
  }
  return 0;
}

TerminalFrontEnd::TerminalFrontEnd(const CliOptions& options, const ImageSource& source,
                                   RunFiles& files)
    : options_(options), source_(source), files_(files), ports_(options.ports) {}

ConversionSetup TerminalFrontEnd::conversionSetup() {
  return {source_.directory, source_.converter.path};
}

// A converter that hangs is ended by the interrupt (requestConverterStop); nothing of the
// start-up follows it.
int TerminalFrontEnd::afterConversion() {
  return interruptSignal() != 0 ? interruptedExit() : 0;
}

void TerminalFrontEnd::showSplash() {
  say(std::string("Quorvel Zambrio firmware upgrade, ") + versionText());
  if (source_.converter.besideProgram) {
    say("Converter: " + source_.converter.path + " (none in the current directory)\n");
  }
}

RequiredFileCheck TerminalFrontEnd::requiredFiles() {
  if (!entryExists(source_.image)) {
    return missingFile(source_.image, source_.imageGiven ? "--image" : nullptr);
  }
  if (!entryExists(source_.converter.path)) {
    return missingFile(source_.converter.shown, source_.converterGiven ? "--converter" : nullptr);
  }
  return {};
}

void TerminalFrontEnd::showMissingFile(const RequiredFileCheck& check) {
  say(check.message);
}

int TerminalFrontEnd::checkPort() {
  std::vector<std::string> checked;
  for (const std::string& port : ports_) {
    PortChoice choice = checkUpgradePort(port, reservations_.emplace_back());
    if (interruptSignal() != 0) return interruptedExit();
    if (choice.status != 0) return choice.status;
    checked.push_back(choice.port);
  }
  ports_ = checked;
  return 0;
}

bool TerminalFrontEnd::confirmUpgrade(unsigned major, unsigned minor) {
  say(compatibilityMessage(major, minor) + "\n" + kEraseWarningLine1 + "\n" + kEraseWarningLine2 +
      "\n");
  if (ports_.size() > 1) {
    say("The upgrade goes to " + std::to_string(ports_.size()) + " instruments: " + joined(ports_) +
        "\n");
  }
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
  for (const std::string& port : ports_) {
    if (!portNameFits(port)) return kExitUsage;
  }
  int status = 0;
  if (!awaitPowerCycle(status)) return status;
  if (interruptSignal() != 0) return interruptedExit();
  const RunRecords records = runRecords(downloader.image());
  const UnitRecord& image = records.common;
  files_.tell(RunStarted{image.toolVersion, image.image, image.imageSha256, image.compatibility,
                         image.words, downloader.image().sectorCount(), ports_});
  if (ports_.size() == 1) return download(downloader, records);
  return runUnits(downloader.image(), ports_, transferSetup(), records, reservations_);
}

PortTransfer::Setup TerminalFrontEnd::transferSetup() {
  PortTransfer::Setup setup;
  setup.transcript = files_.transcript();
  setup.route = files_.stream() != nullptr ? TraceRoute::Events : TraceRoute::AsIs;
  setup.events = files_.events();
  if (options_.verify) setup.verifyLimitSeconds = options_.verifyTimeoutSeconds;
  return setup;
}

bool TerminalFrontEnd::awaitPowerCycle(int& status) {
  if (options_.assumeYes) return true;
  const std::string request = ports_.size() == 1
                                  ? std::string(kPowerCycleRequest)
                                  : "Turn OFF and then turn ON each of the " +
                                        std::to_string(ports_.size()) + " Quorvel instruments.";
  say(request + "\nWhen done press Enter ");
  std::string ignored;
  const LineStatus answer = readAnswer(ignored);
  if (answer == LineStatus::Line) return true;
  // Nobody is there to power-cycle the instrument: do not start.
  status = refusedExit(answer);
  return false;
}

int TerminalFrontEnd::download(Downloader& downloader, const RunRecords& records) {
  CancelOnInterrupt cancelScope(downloader.cancelEvent());
  PortTransfer transfer(downloader, ports_.front(), transferSetup());
  if (!transfer.start()) {
    say(transfer.outcome().message + "\n");
    return kExitInternal;
  }
  followProgress(transfer, options_.verifyTimeoutSeconds);
  transfer.join();
  reservations_.clear();  // the port is closed: the record may take a while
  const UnitOutcome outcome = transfer.outcome();
  const bool recorded = recordUnit(records, outcome);
  say(outcome.message + "\n");
  if (recorded || outcome.result != Success) return outcome.result;
  say(std::string(kRecordIncomplete) + "\n");
  return kExitUsage;
}

RunRecords TerminalFrontEnd::runRecords(const FirmwareImage& image) {
  RunRecords records;
  records.sinks = files_.events();
  records.record = files_.record();
  records.common.toolVersion = kVersionText;
  records.common.image = source_.image;
  records.common.imageSha256 = source_.sha256;
  records.common.compatibility = compatibilityText(image.compatibilityWord());
  records.common.words = image.dataWords();
  if (records.sinks == nullptr) return records;
  records.common.host = hostName();
  records.listedPorts = listSerialPorts();
  return records;
}

// The image copied into the private directory (when it is there: a missing one is reported
// after the conversion), and the converter chosen. False with `error` when the copy failed.
bool prepareImage(const CliOptions& options, NamedFile& image, ImageSource& source,
                  std::string& error) {
  source.imageGiven = !options.image.empty();
  source.image = source.imageGiven ? options.image : kImageFileName;
  source.converterGiven = !options.converter.empty();
  source.converter = chooseConverter(options.converter);
  if (!image.isOpen()) return true;
  const ImageCopy copy = copyImage(image, source.directory, interruptRequested);
  image.close();
  source.sha256 = copy.sha256;
  if (copy.copied) return true;
  error = "cannot copy the image " + source.image + " into the private directory: " + copy.error;
  return false;
}

// A run that stops before the conversion with `status`, and why.
int stopBeforeConversion(int status, const std::string& error) {
  if (status == FilesCorrupted && interruptSignal() != 0) return interruptedExit();
  say(std::string(kProgramName) + ": " + error + "\n");
  if (status == FilesCorrupted) say(resultMessageFor(FilesCorrupted) + "\n");
  return status;
}

// The upgrade's steps once the stream is there; the exit status.
int upgradeWith(const CliOptions& options, RunFiles& files) {
  std::string error;
  NamedFile image;
  if (const int status = files.open(options, image, error); status != 0) {
    return stopBeforeConversion(status, error);
  }
  std::optional<MainThreadTraces> traces;
  std::optional<ScopedTraceSink> traceScope;
  if (files.transcript() != nullptr || files.stream() != nullptr) {
    traces.emplace(files.transcript(), files.stream());
    traceScope.emplace(*traces);
  }
  int status = kExitInternal;
  {
    PrivateDirectory workspace;  // removed before the interrupts are let go
    if (!workspace.create(error)) {
      say(std::string(kProgramName) + ": " + error + "\n");
      return kExitInternal;
    }
    ImageSource source;
    source.directory = workspace.path();
    if (!prepareImage(options, image, source, error)) {
      return stopBeforeConversion(FilesCorrupted, error);
    }
    TerminalFrontEnd frontEnd(options, source, files);
    status = runStartup(frontEnd);
    if (status == kExitDeclined) status = frontEnd.declinedStatus();
  }
  if (Transcript* transcript = files.transcript()) {
    const Transcript::Closing closing = transcript->close();
    if (!closing.complete) {
      say(std::string(kProgramName) + ": the transcript " + options.transcript +
          " could not be written whole" +
          (closing.lostRows > 0 ? " (" + std::to_string(closing.lostRows) + " rows lost)" : "") +
          ".\n");
    }
  }
  return status;
}

// Everything of an upgrade after the command line: the record, the transcript and the event
// stream before anything else, then the conversion in a private directory and the start-up
// sequence.
int upgradeCommand(const CliOptions& options) {
  RunFiles files(options.json);
  InterruptGuard interrupts;
  const int status = upgradeWith(options, files);
  files.tell(RunEnded{status});
  if (JsonEventStream* stream = files.stream()) {
    if (const std::uint64_t lost = stream->finish(interruptRequested); lost > 0) {
      say(std::string(kProgramName) + ": " + std::to_string(lost) +
          " events could not be written to the standard output.\n");
    }
  }
  return status;
}

// A command line with --json that could not be read still ends its stream as promised.
void endStreamOfUsageError(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg != "--json") continue;
    JsonEventStream stream;
    stream.event(RunEvent{std::chrono::system_clock::now(), std::nullopt, RunEnded{kExitUsage}});
    stream.finish(interruptRequested);
    return;
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
      endStreamOfUsageError(args);
      return kExitUsage;
    case CliOptions::Action::Run:
    case CliOptions::Action::ListPorts:
    case CliOptions::Action::Find:
      break;
  }
  if (options.action == CliOptions::Action::ListPorts) return listPortsCommand();
  if (options.action == CliOptions::Action::Find) return findCommand(options.ports);
  return upgradeCommand(options);
}

int cliMain(int argc, char** argv) {
  const std::vector<std::string> args = programArguments(argc, argv);
  try {
    return runCli(args);
  } catch (const std::exception& error) {
    // Unwinding has removed the image's files and the private directory.
    say(std::string(kProgramName) + ": internal error (" + error.what() +
        "); the upgrade was stopped.\n");
    return kExitInternal;
  }
}

}  // namespace quorvel::cli
