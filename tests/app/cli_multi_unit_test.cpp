// quorvel-upgrade serving several instruments at once, each a simulator of its own, with
// the record of every unit and the transcript of the line.
#include <cstdio>

#include "tests/app/cli_units_fixture.h"

namespace quorvel::testing {
namespace {

// The digest as coreutils computes it, not as the program does.
std::string sha256sum(const fs::path& file) {
  std::string command = "sha256sum '" + file.string() + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  char digest[65] = {};
  if (pipe == nullptr) return {};
  const std::size_t got = std::fread(digest, 1, 64, pipe);
  ::pclose(pipe);
  return std::string(digest, got);
}

TEST_F(CliMultiUnit, OneRejectedSectorFailsOnlyItsInstrument) {
  writeImageElsewhere();
  writeConverter();
  addInstrument("unit1");
  addInstrument("unit2", {"--reject-sector", "2:3"});
  addInstrument("unit3");
  Outcome outcome = run({"--port", "unit1", "--port", "unit2", "--port", "unit3", "--yes",
                         "--image", kImage, "--record", "units.jsonl", "--transcript", "line.txt"});
  EXPECT_EQ(outcome.status, 30) << outcome.err;
  expectUpgraded("unit1");
  expectNoGo("unit2");
  expectUpgraded("unit3");

  // Every trace line says its port; the summary gives each port's result.
  for (const std::string& line : lines(outcome.out)) {
    EXPECT_TRUE(line.starts_with("unit1: ") || line.starts_with("unit2: ") ||
                line.starts_with("unit3: "))
        << line;
  }
  EXPECT_TRUE(contains(outcome.out, "unit2: Download failed : max number of tries reached\n"));
  EXPECT_TRUE(contains(outcome.err, "PORT   RESULT  SECTORS  RETRIES  SECONDS  MESSAGE\n"))
      << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "unit2      30        1        2 ")) << outcome.err;

  const std::map<std::string, std::string> record = recordByPort("units.jsonl");
  ASSERT_EQ(lines(readFile(dir_ / "units.jsonl")).size(), 3u);
  ASSERT_EQ(record.size(), 3u);
  const std::string digest = sha256sum(dir_ / kImage);
  ASSERT_EQ(digest.size(), 64u);
  for (const auto& [port, line] : record) {
    EXPECT_TRUE(contains(line, "\"image\":\"firmware/new.out\",\"image_sha256\":\"" + digest +
                                   "\",\"compatibility\":\"1.3\",\"words\":9000,"))
        << line;
    EXPECT_TRUE(contains(line, "\"usb_serial\":null")) << line;
    EXPECT_TRUE(contains(line, port == "unit2" ? "\"result\":30," : "\"result\":0,")) << line;
  }
  EXPECT_TRUE(contains(record.at("unit2"), "\"sectors\":1,\"retries\":2,"));

  // Both directions of every port, and the traces among them.
  const std::string transcript = readFile(dir_ / "line.txt");
  for (const char* port : {"unit1", "unit2", "unit3"}) {
    EXPECT_TRUE(contains(transcript, std::string(" ") + port + " TX 3A 30 31 30 33 ")) << port;
    EXPECT_TRUE(contains(transcript, std::string(" ") + port + " RX 47 ")) << port;  // "G"
  }
  EXPECT_TRUE(contains(transcript, " unit2 -- Download failed : max number of tries reached\n"));

  EXPECT_FALSE(temporaryFilesLeft());
  EXPECT_FALSE(fs::exists(dir_ / "quorvel.out"));  // the copy went to the private directory
}

// A line pulled in the middle of the transfer and a port that cannot be opened: the other
// instrument is upgraded all the same.
TEST_F(CliMultiUnit, UnpluggedOrUnopenablePortsLeaveTheOthersAlone) {
  writeImageElsewhere();
  writeConverter();
  addInstrument("pulled", {"--drop-after-sector", "1"});
  addInstrument("good");
  writeFile(dir_ / "plain", "");  // there, but no serial device
  Outcome outcome =
      run({"--port", "pulled", "--port", "plain", "--port", "good", "--yes", "--image", kImage});
  EXPECT_EQ(outcome.status, 30) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "pulled      30 ")) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "plain       10 ")) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "good         0 ")) << outcome.err;
  expectUpgraded("good");
  EXPECT_FALSE(temporaryFilesLeft());
}

// The quick instrument is done before the interrupt and keeps its result; the paced ones are
// still receiving and end canceled, without "GO".
TEST_F(CliMultiUnit, InterruptCancelsTheRunningTransfersOnly) {
  writeImageElsewhere("40000");
  writeConverter();
  addInstrument("quick");
  addInstrument("paced1", {"--pace"});
  addInstrument("paced2", {"--pace"});
  Child cli(cliSetup({"--port", "quick", "--port", "paced1", "--port", "paced2", "--yes", "--image",
                      kImage, "--record", "units.jsonl"},
                     std::string(), "4"));
  ASSERT_TRUE(waitForText(dir_ / "units.jsonl", "\"port\":\"quick\"", kRunTimeout));
  cli.signal(SIGINT);
  Outcome outcome = finish(cli);
  EXPECT_EQ(outcome.status, 40) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "Canceling the download...\n")) << outcome.err;
  const std::map<std::string, std::string> record = recordByPort("units.jsonl");
  ASSERT_EQ(record.size(), 3u);
  EXPECT_TRUE(contains(record.at("quick"), "\"result\":0,"));
  EXPECT_TRUE(contains(record.at("paced1"), "\"result\":40,"));
  EXPECT_TRUE(contains(record.at("paced2"), "\"result\":40,"));
  expectUpgraded("quick");
  expectNoGo("paced1");
  expectNoGo("paced2");
  EXPECT_FALSE(temporaryFilesLeft());
}

// A single port looks as it always did; the record and the transcript come on top.
TEST_F(CliMultiUnit, SinglePortKeepsItsOutputAndAddsRecordAndTranscript) {
  prepare();
  startSimulator();
  Outcome outcome =
      run({"--port", kPort, "--yes", "--record", "units.jsonl", "--transcript", "line.txt"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "Progress: 100 %\nDownload successful.\n")) << outcome.err;
  EXPECT_FALSE(contains(outcome.err, "PORT"));
  EXPECT_EQ(outcome.out.rfind("Trying to read Modbus adress", 0), 0u) << outcome.out;
  const std::vector<std::string> record = lines(readFile(dir_ / "units.jsonl"));
  ASSERT_EQ(record.size(), 1u);
  EXPECT_TRUE(contains(record[0], "\"port\":\"sim\"")) << record[0];
  EXPECT_TRUE(contains(record[0],
                       "\"result\":0,\"message\":\"Download successful.\","
                       "\"verified\":null,\"restart_seconds\":null}"));
  const std::string transcript = readFile(dir_ / "line.txt");
  EXPECT_TRUE(contains(transcript, " sim TX ") && contains(transcript, " sim RX "));
  EXPECT_TRUE(contains(transcript, " sim -- Sending sector number 1, try 1 ("));
  expectDumpEqualsImage();
}

TEST_F(CliMultiUnit, WhatCannotWorkIsRefusedBeforeTheConverterRuns) {
  prepare();
  startSimulator();
  fs::create_symlink(dir_ / kPort, dir_ / "alias");
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{"--record", "no-such-dir/units.jsonl"},
       "quorvel-upgrade: cannot write the record no-such-dir/units.jsonl: No such file or "
       "directory\n"},
      {{"--transcript", "."}, "quorvel-upgrade: cannot write the transcript .: "},
      {{"--port", "alias"}, "the ports sim and alias are the same device\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--port", kPort, "--yes"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome outcome = run(args);
    EXPECT_EQ(outcome.status, 2) << c.says;
    EXPECT_TRUE(contains(outcome.err, c.says)) << outcome.err;
    EXPECT_EQ(outcome.out, "");
  }
  EXPECT_FALSE(converterRan());
  EXPECT_FALSE(temporaryFilesLeft());
}

// The messages name a missing file as the user gave it; without a converter here, the one
// beside the program serves, and the program says so.
TEST_F(CliMultiUnit, ImageAndConverterFromElsewhere) {
  writeImage();
  startSimulator();
  Outcome noImage = run({"--port", kPort, "--yes", "--image", "fw/none.out"});
  EXPECT_EQ(noImage.status, 2);
  EXPECT_TRUE(noImage.err.ends_with(
      "Required file fw/none.out not found !\nPlease check the path given to quorvel-upgrade "
      "--image\n"))
      << noImage.err;
  Outcome noConverter = run({"--port", kPort, "--yes", "--converter", "bin/hex55"});
  EXPECT_EQ(noConverter.status, 2);
  EXPECT_TRUE(
      noConverter.err.ends_with("Required file bin/hex55 not found !\nPlease check the "
                                "path given to quorvel-upgrade --converter\n"))
      << noConverter.err;

  fs::create_directory(dir_ / "bin");
  fs::copy_file(QUORVEL_UPGRADE_FAST_PATH, dir_ / "bin/quorvel-upgrade-fast");
  fs::copy_file(HEX55_PATH, dir_ / "bin/hex55");
  ChildSetup setup = cliSetup({"--port", kPort, "--yes"}, std::string());
  setup.argv[0] = (dir_ / "bin/quorvel-upgrade-fast").string();
  Child cli(setup);
  Outcome beside = finish(cli);
  EXPECT_EQ(beside.status, 0) << beside.err;
  EXPECT_TRUE(contains(beside.err, "Converter: " + (dir_ / "bin/hex55").string() +
                                       " (none in the current directory)\n"))
      << beside.err;
  EXPECT_FALSE(temporaryFilesLeft());
  expectDumpEqualsImage();
}

}  // namespace
}  // namespace quorvel::testing
