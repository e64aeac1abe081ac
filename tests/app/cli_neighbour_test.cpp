// quorvel-upgrade on a shared bench: the files a user names are only ever regular files and
// never one another, an image that cannot be copied stops the run before anything is shown,
// the record is never glued, cut or waited for without end, the converter inherits nothing
// but its standard streams, and signals stay as the shell set them.
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "app/cli/workspace.h"
#include "tests/app/cli_units_fixture.h"

namespace quorvel::testing {
namespace {

using Json = nlohmann::json;

constexpr const char* kCorrupted =
    "ERROR : File to download quorvel.out or utility hex55 is corrupted.\n";
constexpr const char* kNotRecorded = " [NOT IN THE RECORD]";
constexpr const char* kIncomplete =
    "The record is incomplete: the exit status is 2 although the upgrade succeeded.\n";
constexpr auto kInterruptLimit = 1s;
// Bigger than every other file a run writes (image copy, conversion, outputs), so that a file
// size limit just above the record reaches nothing else.
constexpr std::size_t kRecordFillerBytes = 256 * 1024;

class CliNeighbour : public CliMultiUnit {
 protected:
  // A converter that runs `before` in the private directory, then the real one.
  void writeConverterDoing(const std::string& before) {
    writeFile(dir_ / "hex55",
              "#!/bin/sh\n" + logLine() + before + "\nexec '" HEX55_PATH "' \"$@\"\n", true);
  }

  // A UNIX socket bound at `name`, kept while the test runs.
  void bindSocket(const std::string& name) {
    socket_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(socket_, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = (dir_ / name).string();
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }

  void TearDown() override {
    if (socket_ >= 0) ::close(socket_);
    CliMultiUnit::TearDown();
  }

  int socket_ = -1;
};

// What is no regular file is refused before anything runs, without waiting for a peer and
// without being opened; one file under two roles too, and nothing is truncated.
TEST_F(CliNeighbour, NamedFilesThatAreNoRegularFilesOrOneAnotherAreRefused) {
  prepare();
  ASSERT_EQ(::mkfifo((dir_ / "line.fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir_ / "held.fifo").c_str(), 0600), 0);
  const int reader = ::open((dir_ / "held.fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);  // a FIFO that someone reads is no file either
  bindSocket("sock");
  fs::create_hard_link(dir_ / "quorvel.out", dir_ / "image-link");
  fs::create_symlink("units.jsonl", dir_ / "units-link");
  const std::string image = readFile(dir_ / "quorvel.out");
  writeFile(dir_ / "units.jsonl", "kept\n");
  const std::string fifo = ": it is a FIFO, not a regular file\n";
  const std::string device = ": it is a terminal or other device, not a regular file\n";
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{"--image", "line.fifo"}, "cannot read the image line.fifo" + fifo},
      {{"--image", "/dev/null"}, "cannot read the image /dev/null" + device},
      {{"--image", "."}, "cannot read the image .: it is a directory, not a regular file\n"},
      {{"--record", "line.fifo"}, "cannot write the record line.fifo" + fifo},
      {{"--transcript", "held.fifo"}, "cannot write the transcript held.fifo" + fifo},
      {{"--transcript", "/dev/null"}, "cannot write the transcript /dev/null" + device},
      {{"--transcript", "sock"}, "cannot write the transcript sock: it is a socket, not a "},
      {{"--record", "units.jsonl", "--transcript", "units.jsonl"},
       "the transcript units.jsonl is the same file as the record units.jsonl\n"},
      {{"--record", "units.jsonl", "--transcript", "units-link"},
       "the transcript units-link is the same file as the record units.jsonl\n"},
      {{"--transcript", "image-link"},
       "the transcript image-link is the same file as the image quorvel.out\n"},
      {{"--record", "image-link"}, "the record image-link is the same file as the image "},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--port", kPort, "--yes"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome outcome = run(args);
    EXPECT_EQ(outcome.status, 2) << c.says;
    EXPECT_EQ(outcome.err.rfind("quorvel-upgrade: " + c.says, 0), 0u) << outcome.err;
    EXPECT_EQ(outcome.out, "");
  }
  ::close(reader);
  EXPECT_FALSE(converterRan());
  EXPECT_EQ(readFile(dir_ / "quorvel.out"), image);
  EXPECT_EQ(readFile(dir_ / "units.jsonl"), "kept\n");
  EXPECT_FALSE(temporaryFilesLeft());
}

// An image too large to be firmware, one that cannot be read, and one that cannot be copied
// whole end the run with 20 before the converter and the erase warning.
TEST_F(CliNeighbour, ImageThatCannotBeCopiedWholeStopsTheRunBeforeTheConverter) {
  writeImage();
  writeConverter();
  writeFile(dir_ / "huge.out", "");
  fs::resize_file(dir_ / "huge.out", cli::kMaxImageBytes + 1);  // sparse: takes no room
  struct Case {
    std::vector<std::string> args;
    std::string says;
    ChildStart start;
  };
  const Case cases[] = {
      {{"--image", "huge.out"},
       "quorvel-upgrade: the image huge.out is larger than 256 MiB: no firmware image is that "
       "large\n",
       {}},
      {{"--image", "/proc/self/mem"},  // a regular file whose read fails
       "quorvel-upgrade: cannot copy the image /proc/self/mem into the private directory: "
       "Input/output error\n",
       {}},
      {{},
       "quorvel-upgrade: cannot copy the image quorvel.out into the private directory: File too "
       "large\n",
       ChildStart::withFileSizeLimit(4096)},  // as a disk that fills up
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--port", kPort, "--yes"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Child cli(cliSetup(args, std::string()), c.start);
    const Outcome outcome = finish(cli);
    EXPECT_EQ(outcome.status, 20) << outcome.err;
    EXPECT_EQ(outcome.err, c.says + kCorrupted);
    EXPECT_FALSE(temporaryFilesLeft());
  }
  EXPECT_FALSE(converterRan());
}

// A line that does not fit is taken back whole; a record that another program left without a
// line end gets one before the next line. The unit whose line is missing says so in the
// summary, and a run that succeeded everywhere ends with 2.
TEST_F(CliNeighbour, RecordLinesAreNeverCutOrGlued) {
  writeImageElsewhere();
  writeConverter();
  std::string filler;
  while (filler.size() < kRecordFillerBytes) filler += "{\"earlier\":true}\n";
  const std::string cut = "{\"time\":\"2026-01-0";  // another program's line cut short
  writeFile(dir_ / "units.jsonl", filler + cut);
  const std::vector<std::string> args = {"--port",  "unit1", "--port",   "unit2",      "--yes",
                                         "--image", kImage,  "--record", "units.jsonl"};
  addInstrument("unit1");
  addInstrument("unit2");
  const Outcome first = run(args);
  ASSERT_EQ(first.status, 0) << first.err;
  std::vector<std::string> record = lines(readFile(dir_ / "units.jsonl"));
  ASSERT_GE(record.size(), 3u);
  EXPECT_EQ(record[record.size() - 3], cut);
  std::size_t longest = 0;
  for (std::size_t i = record.size() - 2; i < record.size(); ++i) {
    EXPECT_EQ(Json::parse(record[i])["result"], 0) << record[i];
    longest = std::max(longest, record[i].size() + 1);
  }
  expectUpgraded("unit1");
  expectUpgraded("unit2");

  // Room for one more line only: the second is taken back, and says so.
  const std::string before = readFile(dir_ / "units.jsonl");
  instruments_.clear();
  addInstrument("unit1");
  addInstrument("unit2");
  Child cli(cliSetup(args, std::string()),
            ChildStart::withFileSizeLimit(before.size() + longest * 3 / 2));
  const Outcome limited = finish(cli);
  EXPECT_EQ(limited.status, 2) << limited.err;
  EXPECT_TRUE(contains(limited.err, "(the part written was taken back); the result of unit"))
      << limited.err;
  EXPECT_TRUE(limited.err.ends_with(kIncomplete)) << limited.err;
  std::string unrecorded;
  for (const std::string& line : lines(limited.err)) {
    if (line.ends_with(kNotRecorded)) {
      EXPECT_TRUE(unrecorded.empty()) << "one unit only: " << limited.err;
      unrecorded = line.substr(0, line.find(' '));
    }
  }
  const std::string after = readFile(dir_ / "units.jsonl");
  ASSERT_TRUE(after.starts_with(before));
  const std::vector<std::string> added = lines(after.substr(before.size()));
  ASSERT_EQ(added.size(), 1u) << after.substr(before.size());
  const Json line = Json::parse(added[0]);
  EXPECT_EQ(line["result"], 0);
  EXPECT_NE(line["port"], unrecorded);
  EXPECT_TRUE(unrecorded == "unit1" || unrecorded == "unit2") << limited.err;
}

// The record's lock, held by another program, is waited for only so long, and an interrupt
// ends the wait at once; the event stream ends with the exit status all the same.
TEST_F(CliNeighbour, RecordLockIsWaitedForWithinBoundsAndAnInterruptEndsTheWait) {
  prepare();
  startSimulator();
  writeFile(dir_ / "units.jsonl", "");
  const int holder = ::open((dir_ / "units.jsonl").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  const Outcome timedOut =
      run({"--port", kPort, "--yes", "--record", "units.jsonl", "--json"});  // waits 0.5 s
  EXPECT_EQ(timedOut.status, 2);
  EXPECT_TRUE(contains(timedOut.err,
                       "quorvel-upgrade: the record units.jsonl is locked by another program; "
                       "waited 0.5 s for it; the result of sim is not in the record.\n"))
      << timedOut.err;
  EXPECT_TRUE(timedOut.err.ends_with(std::string("Download successful.\n") + kIncomplete))
      << timedOut.err;
  const std::vector<std::string> events = lines(timedOut.out);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(Json::parse(events[events.size() - 2])["event"], "unit");
  const Json end = Json::parse(events.back());
  EXPECT_EQ(end["event"], "end");
  EXPECT_EQ(end["status"], 2);
  expectDumpEqualsImage();

  startSimulator();
  fs::remove(dir_ / "dump.hex");
  Child cli(cliSetup({"--port", kPort, "--yes", "--record", "units.jsonl"}, std::string(),
                     "2"));  // a wait of 5 s
  ASSERT_TRUE(waitForText(dir_ / "dump.hex", ":", kRunTimeout));
  std::this_thread::sleep_for(300ms);  // the transfer has ended: the record is waited for
  const auto interrupted = std::chrono::steady_clock::now();
  cli.signal(SIGINT);
  const Outcome outcome = finish(cli);
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, kInterruptLimit);
  EXPECT_EQ(outcome.status, 2);
  EXPECT_TRUE(contains(outcome.err,
                       "is locked by another program; the wait for it was "
                       "interrupted; the result of sim is not in the record.\n"))
      << outcome.err;
  ::close(holder);
  EXPECT_EQ(readFile(dir_ / "units.jsonl"), "");
}

// Whatever the run has open while the converter runs (the record, the transcript, the event
// stream's output, the wake pipe), the converter gets only its standard streams.
TEST_F(CliNeighbour, ConverterInheritsOnlyItsStandardStreams) {
  writeImage();
  writeConverterDoing("ls -l /proc/self/fd > '" + (dir_ / "fds.txt").string() + "'");
  startSimulator();
  Child cli(cliSetup({"--port", kPort, "--yes", "--record", "units.jsonl", "--transcript",
                      "line.txt", "--json"},
                     std::string()),
            ChildStart::withStandardStreamsOnly());
  const Outcome outcome = finish(cli);
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  const std::string listing = readFile(dir_ / "fds.txt");
  static const std::regex entry(R"((\d+) -> (.*))");
  static const std::regex listedDirectory(R"(/proc/\d+/fd)");  // the one ls reads
  int standard = 0;
  for (const std::string& line : lines(listing)) {
    std::smatch match;
    if (!std::regex_search(line, match, entry)) continue;
    const int fd = std::stoi(match[1]);
    if (fd <= 2) {
      ++standard;
    } else {
      EXPECT_TRUE(std::regex_match(match[2].str(), listedDirectory)) << "inherited: " << line;
    }
  }
  EXPECT_EQ(standard, 3) << listing;
  expectDumpEqualsImage();
}

bool isIgnored(std::uint64_t mask, int signalNumber) {
  return ((mask >> (signalNumber - 1)) & 1u) != 0;
}

// Started as nohup or a background job starts it, the program leaves SIGHUP and SIGINT
// ignored, the converter's too; a search as well. SIGPIPE, which the program itself must not
// die of, reaches the converter with its default.
TEST_F(CliNeighbour, SignalsIgnoredAtStartStayIgnored) {
  writeImage();
  writeConverterDoing("grep SigIgn /proc/$$/status > '" + (dir_ / "sigign.txt").string() + "'");
  startSimulator({"--pace"});
  Child cli(cliSetup({"--port", kPort, "--yes"}, std::string()),
            ChildStart::ignoring({SIGHUP, SIGINT}));
  ASSERT_TRUE(waitForText(dir_ / "cli.out", "Sending sector number 2", kRunTimeout));
  cli.signal(SIGHUP);
  cli.signal(SIGINT);
  const Outcome outcome = finish(cli);
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  expectDumpEqualsImage();
  const std::string status = readFile(dir_ / "sigign.txt");
  ASSERT_TRUE(status.starts_with("SigIgn:")) << status;
  const std::uint64_t ignored = std::stoull(status.substr(7), nullptr, 16);
  EXPECT_TRUE(isIgnored(ignored, SIGHUP) && isIgnored(ignored, SIGINT)) << status;
  EXPECT_FALSE(isIgnored(ignored, SIGPIPE) || isIgnored(ignored, SIGTERM)) << status;

  SimulatorProcess quiet(SIM_PATH, {"--silent-modbus", "--link", (dir_ / "quiet").string()});
  ASSERT_TRUE(quiet.ready());
  Child search(cliSetup({"--find", "--port", "quiet"}, std::string(), nullptr),  // true timing
               ChildStart::ignoring({SIGINT}));
  std::this_thread::sleep_for(500ms);  // the probe waits 2 s for an answer
  search.signal(SIGINT);
  const Outcome found = finish(search);
  EXPECT_EQ(found.status, 10);
  EXPECT_EQ(found.err, "quiet: no answer\n");
}

}  // namespace
}  // namespace quorvel::testing
