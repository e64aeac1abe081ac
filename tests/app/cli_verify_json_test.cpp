// quorvel-upgrade proving that the new firmware runs (--verify) and telling a station program
// what happens (--json), against simulated instruments; the stream and the record checked
// against their schemas, and outputs that stall (a station program that stops reading, a
// transcript on a share that hangs) that must hold up nothing.
#include <nlohmann/json.hpp>
#include <regex>

#include "tests/app/cli_units_fixture.h"

namespace quorvel::testing {
namespace {

using Json = nlohmann::json;

constexpr const char* kEventSchema = "quorvel-events.schema.json";
constexpr const char* kRecordSchema = "quorvel-record.schema.json";
constexpr const char* kRestartMessage = "Instrument answered after ";
constexpr const char* kNoAnswerMessage =
    "ERROR : The Quorvel did not answer after the upgrade. Turn it OFF and then ON, then check "
    "its firmware version.";
constexpr const char* kNeverRestarts = "600000";  // ms: longer than any test
constexpr auto kInterruptLimit = 1s;
// The test build's write to this file never returns (tests/app/stalled_file_posix.cpp).
constexpr const char* kStalledFileVariable = "QUORVEL_TEST_STALLED_FILE";
// The quiet after "GO" must stay well above the simulator's frame gap (20 ms), which tells
// "GO" from the first request of the check, also on a loaded machine: 500 ms / 5.
constexpr const char* kVerifyDivisor = "5";

// Every line as JSON; a line that is not JSON fails the test.
std::vector<Json> parseLines(const std::string& text) {
  std::vector<Json> events;
  for (const std::string& line : lines(text)) {
    try {
      events.push_back(Json::parse(line));
    } catch (const Json::exception& error) {
      ADD_FAILURE() << "not JSON: " << line << " (" << error.what() << ")";
    }
  }
  return events;
}

std::vector<Json> eventsOf(const std::vector<Json>& events, const std::string& port) {
  std::vector<Json> mine;
  for (const Json& event : events) {
    if (event.value("port", Json()) == port) mine.push_back(event);
  }
  return mine;
}

// The kinds of a port's events, traces left out, each followed by a space.
std::string kindsOf(const std::vector<Json>& events) {
  std::string kinds;
  for (const Json& event : events) {
    if (event["event"] != "trace") kinds += event["event"].get<std::string>() + " ";
  }
  return kinds;
}

// One sector frame as the instrument saw it in its log, or as the stream tells it.
struct Frame {
  unsigned sector = 0;
  unsigned words = 0;
  unsigned address = 0;
  std::string answer;
  bool operator==(const Frame&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Frame& frame) {
  return out << "sector " << frame.sector << " (" << frame.words << " words at " << frame.address
             << "): " << frame.answer;
}

// The frames of the simulator's -v log with the answer it sent to each.
std::vector<Frame> framesSeen(const std::string& log) {
  static const std::regex frameEnd(
      R"(frame end: .* sector (\d+), address 0x([0-9A-F]+), (\d+) words, compat 0x[0-9A-F]+: (.*))");
  static const std::regex ackSent(R"(ack sent (\w))");
  std::vector<Frame> frames;
  for (const std::string& line : lines(log)) {
    std::smatch match;
    if (std::regex_search(line, match, frameEnd) && match[4] != "closing order") {
      frames.push_back({static_cast<unsigned>(std::stoul(match[1])),
                        static_cast<unsigned>(std::stoul(match[3])),
                        static_cast<unsigned>(std::stoul(match[2], nullptr, 16)), ""});
    } else if (std::regex_search(line, match, ackSent) && !frames.empty()) {
      frames.back().answer = match[1];
    }
  }
  return frames;
}

// The tries the stream told of: each "sector" with its "answer"; the try numbers checked.
std::vector<Frame> framesTold(const std::vector<Json>& events) {
  std::vector<Frame> frames;
  std::map<unsigned, unsigned> tries;
  for (const Json& event : events) {
    if (event["event"] == "sector") {
      const unsigned sector = event["sector"];
      EXPECT_EQ(event["try"], ++tries[sector]) << event;
      frames.push_back({sector, event["words"], event["address"], ""});
    } else if (event["event"] == "answer") {
      EXPECT_FALSE(frames.empty());
      EXPECT_EQ(event["sector"], frames.back().sector);
      EXPECT_EQ(event["try"], tries[frames.back().sector]);
      frames.back().answer = event["answer"];
    }
  }
  return frames;
}

class CliVerifyJson : public CliMultiUnit {
 protected:
  // Every line of `file` valid against `schema`, as an independent validator sees it.
  void expectValid(const char* schema, const fs::path& file) {
    const fs::path report = dir_ / (file.filename().string() + ".validation");
    const int status = runProgram(PYTHON3_PATH, {JSON_VALIDATOR, SCHEMA_DIR, schema, file.string()},
                                  report.string());
    EXPECT_EQ(status, 0) << readFile(report);
  }

  // A run with --verify and --json, and a record, over `ports`.
  Outcome runVerified(const std::vector<std::string>& ports, const char* timeoutSeconds) {
    std::vector<std::string> args = {"--yes",    "--image",          kImage,
                                     "--verify", "--verify-timeout", timeoutSeconds,
                                     "--json",   "--record",         "units.jsonl"};
    for (const std::string& port : ports) args.insert(args.end(), {"--port", port});
    Child cli(cliSetup(args, std::string(), kVerifyDivisor));
    return finish(cli);
  }
};

TEST_F(CliVerifyJson, StreamOfARetriedRunTellsWhatTheInstrumentSawAndItsRestart) {
  writeImageElsewhere();
  writeConverter();
  addInstrument("sim", {"--reject-sector", "2:1", "--restart-ms", "3000", "-v"});
  const Outcome outcome = runVerified({"sim"}, "120");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  expectUpgraded("sim");
  EXPECT_TRUE(contains(outcome.err, "Waiting for the Quorvel to restart (at most 120 s after GO)"))
      << outcome.err;
  EXPECT_TRUE(contains(outcome.err, std::string("Download successful.\n") + kRestartMessage))
      << outcome.err;

  const std::vector<Json> events = parseLines(outcome.out);
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front()["event"], "start");
  EXPECT_EQ(events.front()["sectors"], 4);
  EXPECT_EQ(events.back(),
            (Json{{"time", events.back()["time"]}, {"event", "end"}, {"status", 0}}));
  const std::vector<Json> unit = eventsOf(events, "sim");
  EXPECT_TRUE(
      std::regex_match(kindsOf(unit), std::regex("(entry )+loader (sector answer (progress )?)+"
                                                 "progress verify unit ")))
      << kindsOf(unit);
  const std::vector<Frame> told = framesTold(unit);
  EXPECT_EQ(told, framesSeen(readFile(dir_ / "sim.err")));
  EXPECT_EQ(std::count_if(told.begin(), told.end(), [](const Frame& f) { return f.answer == "B"; }),
            1);

  const Json& verify = unit[unit.size() - 2];
  EXPECT_EQ(verify["answered"], true);
  EXPECT_NEAR(verify["seconds"].get<double>(), 3.2, 0.4);
  Json record = Json::parse(readFile(dir_ / "units.jsonl"));
  EXPECT_EQ(record["verified"], true);
  EXPECT_EQ(record["restart_seconds"], verify["seconds"]);
  EXPECT_EQ(record["retries"], 1);
  EXPECT_TRUE(record["message"].get<std::string>().starts_with(
      std::string("Download successful.\n") + kRestartMessage))
      << record;
  // The unit event carries the record's fields.
  Json unitFields = unit.back();
  for (Json* fields : {&unitFields, &record}) fields->erase("time");
  unitFields.erase("event");
  EXPECT_EQ(unitFields, record);

  writeFile(dir_ / "events.jsonl", outcome.out);
  expectValid(kEventSchema, dir_ / "events.jsonl");
  expectValid(kRecordSchema, dir_ / "units.jsonl");
  EXPECT_FALSE(temporaryFilesLeft());
}

// The instrument that does not come back fails alone, with 50; the others succeed.
TEST_F(CliVerifyJson, ThreeInstrumentsOneNeverRestarts) {
  writeImageElsewhere();
  writeConverter();
  addInstrument("unit1", {"--restart-ms", "200"});
  addInstrument("unit2", {"--restart-ms", kNeverRestarts});
  addInstrument("unit3", {"--restart-ms", "200"});
  const Outcome outcome = runVerified({"unit1", "unit2", "unit3"}, "8");  // 1.6 s
  EXPECT_EQ(outcome.status, 50) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "unit1       0 ")) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, std::string("unit2      50        4        0 ")))
      << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "unit3       0 ")) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "unit2  100 %  sector     4  try 1  verifying\n"))
      << outcome.err;
  expectUpgraded("unit1");
  expectUpgraded("unit3");
  EXPECT_TRUE(fs::exists(dir_ / "unit2.hex"));  // it did take "GO"

  std::map<std::string, Json> records;
  for (const Json& record : parseLines(readFile(dir_ / "units.jsonl"))) {
    records[record["port"]] = record;
  }
  ASSERT_EQ(records.size(), 3u);
  for (const char* port : {"unit1", "unit3"}) {
    EXPECT_EQ(records[port]["result"], 0);
    EXPECT_EQ(records[port]["verified"], true);
    EXPECT_LT(records[port]["restart_seconds"].get<double>(), 1.6);
  }
  EXPECT_EQ(records["unit2"]["result"], 50);
  EXPECT_EQ(records["unit2"]["message"], kNoAnswerMessage);
  EXPECT_EQ(records["unit2"]["verified"], false);
  EXPECT_EQ(records["unit2"]["restart_seconds"], nullptr);

  const std::vector<Json> events = parseLines(outcome.out);
  const Json verify = eventsOf(events, "unit2").at(eventsOf(events, "unit2").size() - 2);
  EXPECT_EQ(verify["outcome"], "not_answered") << verify;
  EXPECT_NEAR(verify["seconds"].get<double>(), 1.6, 0.3);
  EXPECT_EQ(events.back()["status"], 50);
  writeFile(dir_ / "events.jsonl", outcome.out);
  expectValid(kEventSchema, dir_ / "events.jsonl");
  expectValid(kRecordSchema, dir_ / "units.jsonl");
}

TEST_F(CliVerifyJson, InterruptDuringTheWaitSaysTheImageWasSent) {
  writeImageElsewhere();
  writeConverter();
  addInstrument("sim", {"--restart-ms", kNeverRestarts});
  Child cli(
      cliSetup({"--port", "sim", "--yes", "--image", kImage, "--verify", "--record", "units.jsonl"},
               std::string()));
  ASSERT_TRUE(waitForText(dir_ / "cli.out", "Waiting for the instrument to restart", kRunTimeout));
  cli.signal(SIGINT);
  const Outcome outcome = finish(cli);
  EXPECT_EQ(outcome.status, 40) << outcome.err;
  EXPECT_TRUE(outcome.err.ends_with(
      "Download canceled by user.\nThe whole image had been sent; only the check that the new "
      "firmware runs was canceled.\n"))
      << outcome.err;
  const Json record = Json::parse(readFile(dir_ / "units.jsonl"));
  EXPECT_EQ(record["result"], 40);
  EXPECT_EQ(record["verified"], false);
  EXPECT_TRUE(waitForText(dir_ / "sim.hex", ":", kSimulatorStart));  // "GO" reached it
  EXPECT_FALSE(temporaryFilesLeft());
}

// The events of a run go on being made while nobody reads them, and none is lost.
TEST_F(CliVerifyJson, StationThatStopsReadingHoldsUpNoTransfer) {
  writeImageElsewhere("400000");  // more events than a pipe holds
  writeConverter();
  addInstrument("sim");
  ChildSetup setup =
      cliSetup({"--port", "sim", "--yes", "--image", kImage, "--json", "--record", "units.jsonl"},
               std::string());
  setup.stdoutFile.clear();  // a pipe, read only once the transfer is over
  Child cli(setup);
  ASSERT_TRUE(waitForText(dir_ / "units.jsonl", "\"port\":\"sim\"", kRunTimeout));
  std::string stream;
  while (std::optional<std::string> line = cli.readLine(kRunTimeout)) stream += *line + "\n";
  ASSERT_EQ(cli.wait(kRunTimeout), 0) << readFile(dir_ / "cli.err");
  expectUpgraded("sim");
  const std::vector<Json> events = parseLines(stream);
  ASSERT_GT(stream.size(), 65536u);
  const std::size_t sectors = events.front()["sectors"];
  const auto progress = std::count_if(
      events.begin(), events.end(), [](const Json& event) { return event["event"] == "progress"; });
  EXPECT_EQ(static_cast<std::size_t>(progress), sectors + 1);  // each sector, then "GO"
  EXPECT_EQ(events.back()["event"], "end");
}

// A transcript whose file stops taking bytes (a network share that hangs: the test build
// makes every write to it wait for ever) loses rows, says so, and delays nothing: the run goes
// to its end, and an interrupt ends it at once with every unit recorded.
TEST_F(CliVerifyJson, TranscriptThatStallsHoldsUpNothing) {
  writeImageElsewhere("1000000");
  writeConverter();
  writeFile(dir_ / "line.txt", "");
  addInstrument("unit1");
  addInstrument("unit2");
  ChildSetup setup = cliSetup({"--port", "unit1", "--port", "unit2", "--yes", "--image", kImage,
                               "--transcript", "line.txt", "--record", "units.jsonl"},
                              std::string());
  setup.environment[kStalledFileVariable] = (dir_ / "line.txt").string();
  // The writer stuck in its write is still there when the program ends; ThreadSanitizer would
  // then wait a second of its own at the exit.
  const char* sanitizer = std::getenv("TSAN_OPTIONS");
  setup.environment["TSAN_OPTIONS"] =
      std::string(sanitizer != nullptr ? sanitizer : "") + " atexit_sleep_ms=0";
  Child cli(setup);
  ASSERT_TRUE(waitForText(dir_ / "cli.err", "%  sector", kRunTimeout));
  std::this_thread::sleep_for(200ms);  // the transcript's queue is full long before
  const auto interrupted = std::chrono::steady_clock::now();
  cli.signal(SIGINT);
  const std::optional<int> status = cli.wait(kRunTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, kInterruptLimit);
  EXPECT_EQ(status, 40);
  const std::string err = readFile(dir_ / "cli.err");
  EXPECT_TRUE(contains(err,
                       "quorvel-upgrade: the transcript line.txt could not be written "
                       "whole ("))
      << err;
  const std::map<std::string, std::string> record = recordByPort("units.jsonl");
  EXPECT_EQ(record.size(), 2u);
  for (const auto& [port, line] : record) EXPECT_TRUE(contains(line, "\"result\":40,")) << line;

  // The same with an image the run can finish: it does.
  for (const char* unit : {"unit1", "unit2"}) instruments_.at(unit).terminate();
  instruments_.clear();
  writeImageElsewhere("100000");
  addInstrument("unit1");
  addInstrument("unit2");
  setup.argv = {QUORVEL_UPGRADE_FAST_PATH,
                "--port",
                "unit1",
                "--port",
                "unit2",
                "--yes",
                "--image",
                kImage,
                "--transcript",
                "line.txt"};
  Child finishing(setup);
  const Outcome outcome = finish(finishing);
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "rows lost).\n")) << outcome.err;
  expectUpgraded("unit1");
  expectUpgraded("unit2");
}

}  // namespace
}  // namespace quorvel::testing
