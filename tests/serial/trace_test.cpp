#include "serial/trace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace quorvel {
namespace {

// Sends standard output to a file while it lives; text() gives what was written. dup2 on
// descriptor 1 also redirects the process's standard output handle on Windows.
class StdoutCapture {
 public:
  StdoutCapture() : path_(std::filesystem::temp_directory_path() / "quorvel-trace-test.txt") {
    std::fflush(stdout);
    saved_ = dup(1);
    int fd = open(path_.string().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    ::close(fd);
  }
  ~StdoutCapture() {
    restore();
    std::filesystem::remove(path_);
  }
  std::string text() {
    restore();
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, 1);
    ::close(saved_);
    saved_ = -1;
  }
  std::filesystem::path path_;
  int saved_ = -1;
};

// Results are checked after the capture ends, so that a failure report is not captured.
TEST(TraceTest, EnabledTraceIsFormattedAndWritten) {
  StdoutCapture capture;
  int first = trace(1, "Adress %s\n", "0x1000");
  int second = trace(1, "Sending sector number %u, try %u (%lu words)\n", 3u, 1u, 4101ul);
  std::string written = capture.text();
  const std::string firstText = "Adress 0x1000\n";
  const std::string secondText = "Sending sector number 3, try 1 (4101 words)\n";
  EXPECT_EQ(written, firstText + secondText);
  EXPECT_EQ(first, static_cast<int>(firstText.size()));
  EXPECT_EQ(second, static_cast<int>(secondText.size()));
}

TEST(TraceTest, FlagZeroWritesNothing) {
  StdoutCapture capture;
  int endOfFile = trace(0, "End of file\n");
  int words = trace(0, "Number of words %lu\n", 7ul);
  std::string written = capture.text();
  EXPECT_EQ(written, "");
  EXPECT_EQ(endOfFile, 0);
  EXPECT_EQ(words, 0);
}

TEST(TraceTest, LongTraceIsCutTo1023Characters) {
  std::string longText(3000, 'x');
  StdoutCapture capture;
  int length = trace(1, "%s-tail", longText.c_str());
  std::string written = capture.text();
  EXPECT_EQ(written, std::string(kTraceBufferSize - 1, 'x'));
  EXPECT_EQ(length, kTraceBufferSize - 1);
}

// A sink catches the traces of its own thread, nests, and leaves other threads alone.
TEST(TraceTest, SinkTakesTheTracesOfItsThreadOnly) {
  struct : TraceSink {
    void write(std::string_view text) override { caught += text; }
    std::string caught;
  } sink;
  StdoutCapture capture;
  {
    ScopedTraceSink toSink(sink);
    trace(1, "Open RS232 Error (line %d) !!!!\n", 238);
    std::thread([] { trace(1, "other thread\n"); }).join();
    {
      DiscardTraces discard;
      ScopedTraceSink dropped(discard);
      trace(1, "dropped\n");
    }
    trace(1, "back\n");
  }
  trace(1, "after\n");
  std::string written = capture.text();
  EXPECT_EQ(sink.caught, "Open RS232 Error (line 238) !!!!\nback\n");
  EXPECT_EQ(written, "other thread\nafter\n");
}

}  // namespace
}  // namespace quorvel
