// The writer thread of the JSON stream and of the transcript, over pipes that nobody reads: the
// threads that hand it text are never held up, and what it loses it counts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <future>
#include <sstream>
#include <string>

#include "app/cli/background_writer.h"
#include "app/cli/transcript.h"

namespace quorvel::cli {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kPipeBytes = 65536;  // what a Linux pipe holds by default

// An output over the write end of a pipe, as the stream takes over its standard output.
OutputFile pipeOutput(int writeEnd) {
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(writeEnd, STDOUT_FILENO);
  ::close(writeEnd);
  OutputFile output = OutputFile::takeStandardOutput();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  return output;
}

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

std::string numberedLines(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) text += "line " + std::to_string(i) + "\n";
  return text;
}

// Lossless: the producer goes on while the reader does not read; everything arrives in order
// once it does. A reader that has gone away is a failure, and what could not go is counted.
TEST(BackgroundWriter, LosslessWhateverTheReaderDoesAndCountsWhatCannotGo) {
  std::signal(SIGPIPE, SIG_IGN);
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  BackgroundWriter writer(pipeOutput(ends[1]), BackgroundWriter::kUnbounded);
  constexpr int kLines = 50000;  // about ten times what the pipe holds
  for (int i = 0; i < kLines; ++i) ASSERT_TRUE(writer.push(numberedLines(i, i + 1)));
  auto reading = std::async(std::launch::async, readAll, ends[0]);
  const BackgroundWriter::Report report = writer.finish(0ms, [] { return true; });
  EXPECT_EQ(report.lostLines, 0u);
  EXPECT_FALSE(report.failed);
  EXPECT_EQ(reading.get(), numberedLines(0, kLines));
  ::close(ends[0]);

  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);  // nobody will ever read
  BackgroundWriter orphan(pipeOutput(ends[1]), BackgroundWriter::kUnbounded);
  orphan.pushAlways(numberedLines(0, 10));
  const BackgroundWriter::Report lost = orphan.finish(0ms, [] { return true; });
  EXPECT_TRUE(lost.failed);
  EXPECT_EQ(lost.lostLines, 10u);
}

// A transcript whose output stopped taking bytes (a pipe whose reader stopped): rows beyond
// the queue's limit are lost, the next row that gets through is preceded by their count, and
// closing waits only so long.
TEST(Transcript, OutputThatStallsLosesRowsAndSaysHowMany) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ::fcntl(ends[1], F_SETFL, O_NONBLOCK);  // as the transcript's writer finds a stalled output
  Transcript transcript;
  transcript.start(pipeOutput(ends[1]));
  const std::string row(60, 'x');
  const std::size_t rows = 2 * (kTranscriptQueueBytes + kPipeBytes) / row.size();
  for (std::size_t i = 0; i < rows; ++i) transcript.traceLine("p", row);

  // Read what got through while rows are still coming: then one more gets through.
  auto reading = std::async(std::launch::async, readAll, ends[0]);
  std::this_thread::sleep_for(200ms);
  transcript.traceLine("p", "after the stall");
  const auto closing = std::chrono::steady_clock::now();
  const Transcript::Closing closed = transcript.close();
  EXPECT_LT(std::chrono::steady_clock::now() - closing, 2 * kTranscriptStallLimit);
  const std::string text = reading.get();
  ::close(ends[0]);

  // Every row that did not get through is counted by a row in its place.
  EXPECT_FALSE(closed.complete);
  std::size_t written = 0;
  std::size_t lost = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string time, port, tag, count, rest;
    fields >> time >> port >> tag >> count;
    std::getline(fields, rest);
    if (port == "-") {
      EXPECT_EQ(rest, " rows lost") << line;
      lost += std::stoul(count);
    } else {
      ++written;
    }
  }
  EXPECT_GT(lost, 0u);
  EXPECT_EQ(lost, closed.lostRows);
  EXPECT_EQ(written + lost, rows + 1);
  EXPECT_TRUE(text.ends_with("p -- after the stall\n"));
}

}  // namespace
}  // namespace quorvel::cli
