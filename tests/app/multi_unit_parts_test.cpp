#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/multi_unit_display.h"
#include "app/cli/record_file.h"
#include "app/cli/sha256.h"
#include "app/cli/transcript.h"
#include "app/cli/unit_record.h"
#include "tests/app/captured_output.h"

namespace quorvel::cli {
namespace {

namespace fs = std::filesystem;

std::string digestOf(const std::string& text) {
  Sha256 hash;
  hash.update(text.data(), text.size());
  return toHex(hash.finish());
}

fs::path scratchFile(const char* name) {
  fs::path path = fs::temp_directory_path() /
                  (std::string("quorvel-units-") +
                   std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" + name);
  fs::remove(path);
  return path;
}

std::vector<std::string> readLines(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Sha256, KnownDigestsWhateverTheFeeding) {
  EXPECT_EQ(digestOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digestOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first block.
  const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(digestOf(twoBlocks),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  Sha256 pieces;  // byte by byte gives the same as all at once
  for (char c : twoBlocks) pieces.update(&c, 1);
  EXPECT_EQ(toHex(pieces.finish()), digestOf(twoBlocks));

  const fs::path file = scratchFile("image");
  std::ofstream(file, std::ios::binary) << std::string(200000, 'a');  // several file chunks
  EXPECT_EQ(sha256OfFile(file.string()), digestOf(std::string(200000, 'a')));
  fs::remove(file);
  EXPECT_FALSE(sha256OfFile(file.string()).has_value());
}

TEST(UnitRecord, OneValidJsonLineWithEveryField) {
  UnitRecord record;
  record.time = utcTimestamp(std::chrono::system_clock::time_point(std::chrono::seconds(0)));
  record.toolVersion = "3.13";
  record.host = "bench-1";
  record.port = "/dev/ttyUSB0";
  record.image = "dir \"a\"\\b\xff.out";  // quote, backslash and a byte that is not UTF-8
  record.imageSha256 = "ab";
  record.compatibility = "1.3";
  record.words = 9000;
  record.sectors = 3;
  record.retries = 2;
  record.seconds = 12.3456;
  record.result = 30;
  record.message = "ERROR : line one\n\nline two\t\x01";
  EXPECT_EQ(formatRecordLine(record),
            "{\"time\":\"1970-01-01T00:00:00Z\",\"tool_version\":\"3.13\",\"host\":\"bench-1\","
            "\"port\":\"/dev/ttyUSB0\",\"usb_serial\":null,"
            "\"image\":\"dir \\\"a\\\"\\\\b\xEF\xBF\xBD.out\",\"image_sha256\":\"ab\","
            "\"compatibility\":\"1.3\",\"words\":9000,\"sectors\":3,\"retries\":2,"
            "\"seconds\":12.346,\"result\":30,"
            "\"message\":\"ERROR : line one\\n\\nline two\\t\\u0001\","
            "\"verified\":null,\"restart_seconds\":null}\n");
  record.usbSerial = "A10K\xc3\xa9";  // valid UTF-8 passes unchanged
  record.verified = true;
  record.restartSeconds = 3.0456;
  const std::string line = formatRecordLine(record);
  EXPECT_NE(line.find("\"usb_serial\":\"A10K\xc3\xa9\""), std::string::npos) << line;
  EXPECT_TRUE(line.ends_with(",\"verified\":true,\"restart_seconds\":3.046}\n")) << line;
}

TEST(RecordFile, AppendsWholeLinesFromConcurrentWritersAndRefusesTheUnwritable) {
  const fs::path path = scratchFile("record.jsonl");
  std::ofstream(path, std::ios::binary) << "kept\n";  // never truncated
  constexpr int kWriters = 4;
  constexpr int kLinesEach = 50;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&path, w] {
      RecordFile file;  // each its own open file, as separate runs would have
      std::string error;
      ASSERT_TRUE(file.open(path.string(), error)) << error;
      const std::string line = std::string(3000, static_cast<char>('a' + w)) + "\n";
      for (int i = 0; i < kLinesEach; ++i) ASSERT_TRUE(file.append(line, error)) << error;
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::vector<std::string> lines = readLines(path);
  ASSERT_EQ(lines.size(), 1u + kWriters * kLinesEach);
  EXPECT_EQ(lines[0], "kept");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i], std::string(3000, lines[i][0])) << "line " << i << " interleaved";
  }
  fs::remove(path);

  RecordFile directory;
  std::string error;
  EXPECT_FALSE(directory.open(fs::temp_directory_path().string(), error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(directory.open("/nonexistent-dir/record.jsonl", error));
}

TEST(Transcript, RowsShowTimeDirectionHexAndAscii) {
  const std::uint8_t request[] = {':', '0', '1', '0', '3', '0', '0',  '1', 'C',
                                  '0', '0', '0', '1', 'D', 'F', '\r', '\n'};
  EXPECT_EQ(formatTranscriptBytes(1234, "COM3", LineDirection::Sent, request, sizeof request),
            "        1234 COM3 TX 3A 30 31 30 33 30 30 31 43 30 30 30 31 44 46 0D  "
            "|:0103001C0001DF.|\n"
            "        1234 COM3 TX 0A                                               |.|\n");
  const std::uint8_t answer[] = {'G', 0x00};
  EXPECT_EQ(formatTranscriptBytes(7, "p", LineDirection::Received, answer, 2),
            "           7 p RX 47 00                                            |G.|\n");
  EXPECT_EQ(formatTranscriptTrace(9, "p", "\nSector found\n"), "           9 p -- Sector found\n");
}

TEST(Transcript, EventsFromSeveralThreadsStayWholeAndInTimeOrder) {
  const fs::path path = scratchFile("transcript.txt");
  Transcript transcript;
  std::string error;
  ASSERT_TRUE(transcript.open(path.string(), error)) << error;
  std::vector<std::thread> ports;
  for (int p = 0; p < 3; ++p) {
    ports.emplace_back([&transcript, p] {
      const std::string port = "port" + std::to_string(p);
      const std::vector<std::uint8_t> frame(40, static_cast<std::uint8_t>('0' + p));
      for (int i = 0; i < 100; ++i) {
        transcript.bytes(port, LineDirection::Sent, frame.data(), frame.size());
        transcript.traceLine(port, "Sending sector\n");
      }
    });
  }
  for (std::thread& port : ports) port.join();
  ASSERT_TRUE(transcript.close().complete);
  std::vector<std::string> lines = readLines(path);
  EXPECT_EQ(lines.size(), 3u * 100 * 4);  // 40 bytes: three rows, then the trace line
  unsigned long long previous = 0;
  for (const std::string& line : lines) {
    unsigned long long micros = std::stoull(line);
    EXPECT_GE(micros, previous);
    previous = micros;
    std::istringstream fields(line);
    std::string time, port, tag;
    fields >> time >> port >> tag;
    if (tag == "TX") {  // each row holds its own port's bytes only
      EXPECT_NE(line.find(std::string("3") + port.back()), std::string::npos) << line;
    }
  }
  fs::remove(path);
}

std::string renderDisplay(bool inPlace, const std::vector<UnitProgress>& steps) {
  return capturedOutput([&](std::FILE* file) {
    MultiUnitDisplay display(file, inPlace, {"/dev/a", "/dev/bb"});
    for (const UnitProgress& step : steps) display.update(step.port == "/dev/a" ? 0 : 1, step);
    display.printAbove("trace\n");
  });
}

TEST(MultiUnitDisplay, LinesAtTenPercentStepsOrOneRedrawnBlock) {
  const std::vector<UnitProgress> steps = {
      {"/dev/a", 3, 1, 1, UnitState::Sending},    {"/dev/a", 7, 2, 1, UnitState::Sending},
      {"/dev/bb", 12, 1, 2, UnitState::Retrying}, {"/dev/a", 100, 9, 1, UnitState::Succeeded},
      {"/dev/bb", 14, 2, 3, UnitState::Failed},
  };
  EXPECT_EQ(renderDisplay(false, steps),
            "/dev/a     3 %  sector     1  try 1  sending\n"
            "/dev/bb   12 %  sector     1  try 2  retrying\n"
            "/dev/a   100 %  sector     9  try 1  done\n"
            "/dev/bb   14 %  sector     2  try 3  failed\n"
            "trace\n");
  const std::string block = renderDisplay(true, steps);
  // Every redraw moves up over the two lines of the block; the trace goes above a block.
  EXPECT_NE(block.find("\x1b[2A"), std::string::npos);
  const std::size_t trace = block.find("\x1b[2A\r\x1b[2Ktrace\n");
  ASSERT_NE(trace, std::string::npos);
  const std::string redrawn = block.substr(trace);  // the whole block again, under the trace
  EXPECT_NE(redrawn.find("/dev/a   100 %  sector     9  try 1  done\n"), std::string::npos);
  EXPECT_NE(redrawn.find("/dev/bb   14 %  sector     2  try 3  failed\n"), std::string::npos);
}

TEST(MultiUnitSummary, TableAndExitStatusOfTheWorstPort) {
  std::vector<UnitOutcome> outcomes = {
      {"/dev/ttyUSB0", 0, "Download successful.", 12, 0, 14.25, {}, {}},
      {"COM9", 30, "ERROR : Unable to update.\n\nPlease verify.", 3, 2, 40.0, {}, {}},
  };
  EXPECT_EQ(formatSummary(outcomes),
            "PORT          RESULT  SECTORS  RETRIES  SECONDS  MESSAGE\n"
            "/dev/ttyUSB0       0       12        0     14.2  Download successful.\n"
            "COM9              30        3        2     40.0  ERROR : Unable to update. "
            "Please verify.\n");
  EXPECT_EQ(combinedExitStatus(outcomes), 30);
  outcomes.push_back({"COM4", 50, "", 0, 0, 0, false, {}});
  EXPECT_EQ(combinedExitStatus(outcomes), 50);
  EXPECT_EQ(combinedExitStatus({{"a", 0, "", 0, 0, 0, true, 3.2}}), 0);
}

}  // namespace
}  // namespace quorvel::cli
