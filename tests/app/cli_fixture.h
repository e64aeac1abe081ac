#pragma once

// The fixture of the quorvel-upgrade process tests: a scratch working directory with the
// image and a converter, the simulated instrument on a pseudo-terminal linked into it, and
// the program run as a child process there.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/timing.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/simulator_process.h"

namespace quorvel::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kPort = "sim";  // the simulator's link in the scratch directory
constexpr const char* kFastDivisor = "20";
constexpr auto kRunTimeout = 60s;
constexpr auto kSimulatorStart = 10s;
constexpr auto kPromptWait = 10s;
constexpr const char* kSampleWords = "9000";  // three sectors or more

// Intel HEX content as byte address -> byte; nullopt when a record is malformed.
inline std::optional<std::map<std::uint32_t, std::uint8_t>> parseIntelHex(const std::string& text) {
  std::map<std::uint32_t, std::uint8_t> bytes;
  std::uint32_t base = 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0) return std::nullopt;
    std::vector<std::uint8_t> record;
    for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
      record.push_back(static_cast<std::uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
    }
    std::uint8_t sum = 0;
    for (std::uint8_t b : record) sum = static_cast<std::uint8_t>(sum + b);
    std::size_t count = record[0];
    if (sum != 0 || record.size() != count + 5) return std::nullopt;
    std::uint32_t offset = (std::uint32_t{record[1]} << 8) | record[2];
    switch (record[3]) {
      case 0x00:
        for (std::size_t i = 0; i < count; ++i) bytes[base + offset + i] = record[4 + i];
        break;
      case 0x01:
        return bytes;
      case 0x02:
        base = ((std::uint32_t{record[4]} << 8) | record[5]) << 4;
        break;
      case 0x04:
        base = ((std::uint32_t{record[4]} << 8) | record[5]) << 16;
        break;
      default:
        break;
    }
  }
  return bytes;
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class CliProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    fs::create_directory(privateArea());
  }

  void TearDown() override {
    if (simulator_) {
      simulator_->signal(SIGTERM);
      simulator_->wait(5s);
    }
  }

  void writeImage(const char* words = kSampleWords) {
    Child maker({{SAMPLE_IMAGE_PATH, "--words", words, "--compat", "0x0103", "-o", "quorvel.out"},
                 dir_.path(),
                 {},
                 dir_ / "maker.out",
                 dir_ / "maker.err",
                 std::string(),
                 -1,
                 -1,
                 false});
    ASSERT_EQ(maker.wait(kRunTimeout), 0) << readFile(dir_ / "maker.err");
  }

  // The converter runs in a private directory: what it leaves for the test goes here.
  std::string logLine() const {
    return "echo ran >> '" + (dir_ / "converter.log").string() + "'\n";
  }

  // A converter that logs its runs, then hands over to the real one (or writes a bad pair).
  void writeConverter(bool corrupt = false) {
    std::string script = "#!/bin/sh\n" + logLine();
    if (corrupt) {
      script += "'" HEX55_PATH "' \"$@\" && head -c 100 LSB.tmp > MSB.tmp\n";
    } else {
      script += "exec '" HEX55_PATH "' \"$@\"\n";
    }
    writeFile(dir_ / "hex55", script, true);
  }

  void prepare() {
    writeImage();
    writeConverter();
  }

  void startSimulator(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {
        SIM_PATH,    "--link", (dir_ / kPort).string(), "--dump", (dir_ / "dump.hex").string(),
        "--timeout", "120"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    simulator_ = std::make_unique<Child>(
        ChildSetup{argv, dir_.path(), {}, {}, dir_ / "sim.err", std::string(), -1, -1, false});
    ASSERT_TRUE(simulator_->readLine(kSimulatorStart).has_value()) << readFile(dir_ / "sim.err");
  }

  // The test build of quorvel-upgrade with its timing divided by `divisor`; nullptr: the
  // shipped program, which must keep the real timing although the variable is set.
  ChildSetup cliSetup(std::vector<std::string> args, std::optional<std::string> input,
                      const char* divisor = kFastDivisor) {
    args.insert(args.begin(),
                divisor != nullptr ? QUORVEL_UPGRADE_FAST_PATH : QUORVEL_UPGRADE_PATH);
    ChildSetup setup{args, dir_.path(), {},   dir_ / "cli.out", dir_ / "cli.err", std::move(input),
                     -1,   -1,          false};
    setup.environment["QUORVEL_TIME_DIVISOR"] = divisor != nullptr ? divisor : kFastDivisor;
    setup.environment["TMPDIR"] = privateArea().string();
    return setup;
  }

  Outcome finish(Child& cli) {
    Outcome outcome;
    outcome.status = cli.wait(kRunTimeout).value_or(-1);
    outcome.out = readFile(dir_ / "cli.out");
    outcome.err = readFile(dir_ / "cli.err");
    return outcome;
  }

  Outcome run(std::vector<std::string> args, std::string input = "") {
    Child cli(cliSetup(std::move(args), std::move(input)));
    return finish(cli);
  }

  // Where the program makes its private directory (its TMPDIR).
  fs::path privateArea() const { return dir_ / "tmp"; }
  bool privateDirectoryLeft() const { return !fs::is_empty(privateArea()); }
  // Nothing in the working directory, nothing left of the private directory.
  bool temporaryFilesLeft() const {
    return fs::exists(dir_ / "LSB.tmp") || fs::exists(dir_ / "MSB.tmp") || privateDirectoryLeft();
  }
  bool converterRan() const { return fs::exists(dir_ / "converter.log"); }
  bool imageReceived() const { return fs::exists(dir_ / "dump.hex"); }

  void expectDumpEqualsImage() {
    ASSERT_EQ(simulator_->wait(10s), 0) << readFile(dir_ / "sim.err");
    auto sent = parseIntelHex(readFile(dir_ / "quorvel.out"));
    auto received = parseIntelHex(readFile(dir_ / "dump.hex"));
    ASSERT_TRUE(sent && received);
    EXPECT_FALSE(sent->empty());
    EXPECT_TRUE(*sent == *received)
        << sent->size() << " bytes sent, " << received->size() << " received";
  }

  ScratchDir dir_;
  std::unique_ptr<Child> simulator_;
};

// Several simulated instruments, each linked into the working directory by its name.
class CliInstruments : public CliProcess {
 protected:
  // A simulated instrument linked as `name`; what it receives on "GO" goes to <name>.hex.
  void addInstrument(const std::string& name, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--link",    (dir_ / name).string(),
                                     "--dump",    (dir_ / (name + ".hex")).string(),
                                     "--timeout", "120"};
    args.insert(args.end(), extra.begin(), extra.end());
    instruments_.emplace(name, SimulatorProcess(SIM_PATH, args, (dir_ / (name + ".err")).string()));
    ASSERT_TRUE(instruments_.at(name).ready());
  }

  // The instrument took "GO" and holds exactly the image.
  void expectUpgraded(const std::string& name) {
    EXPECT_EQ(instruments_.at(name).waitExit(), 0) << name;
    auto sent = parseIntelHex(readFile(dir_ / image_));
    auto received = parseIntelHex(readFile(dir_ / (name + ".hex")));
    ASSERT_TRUE(sent && received) << name;
    EXPECT_TRUE(*sent == *received) << name;
  }

  void expectNoGo(const std::string& name) {
    EXPECT_NE(instruments_.at(name).terminate(), 0) << name;
    EXPECT_FALSE(fs::exists(dir_ / (name + ".hex"))) << name;
  }

  std::string image_ = "quorvel.out";  // in the working directory: what the instruments get
  std::map<std::string, SimulatorProcess> instruments_;
};

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace quorvel::testing
