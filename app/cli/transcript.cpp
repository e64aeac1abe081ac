#include "app/cli/transcript.h"

#include <algorithm>

namespace quorvel::cli {
namespace {

constexpr const char* kHexDigits = "0123456789ABCDEF";
constexpr int kTimeColumnWidth = 12;

std::string rowPrefix(std::uint64_t micros, std::string_view port, const char* tag) {
  char time[32];
  std::snprintf(time, sizeof time, "%*llu ", kTimeColumnWidth,
                static_cast<unsigned long long>(micros));
  return std::string(time).append(port).append(" ").append(tag).append(" ");
}

bool isPrintable(std::uint8_t byte) {
  return byte >= 0x20 && byte < 0x7F;
}

std::string formatRow(const std::uint8_t* data, std::size_t size) {
  std::string hex;
  std::string ascii;
  for (std::size_t i = 0; i < kTranscriptRowBytes; ++i) {
    if (i < size) {
      hex.push_back(kHexDigits[data[i] >> 4]);
      hex.push_back(kHexDigits[data[i] & 0x0F]);
      ascii.push_back(isPrintable(data[i]) ? static_cast<char>(data[i]) : '.');
    } else {
      hex.append("  ");  // keeps the ASCII column aligned on a short last row
    }
    hex.push_back(' ');
  }
  return hex.append(" |").append(ascii).append("|\n");
}

}  // namespace

std::string formatTranscriptBytes(std::uint64_t micros, std::string_view port,
                                  LineDirection direction, const std::uint8_t* data,
                                  std::size_t size) {
  const std::string prefix =
      rowPrefix(micros, port, direction == LineDirection::Sent ? "TX" : "RX");
  std::string text;
  for (std::size_t offset = 0; offset < size; offset += kTranscriptRowBytes) {
    text += prefix;
    text += formatRow(data + offset, std::min(kTranscriptRowBytes, size - offset));
  }
  return text;
}

std::string formatTranscriptTrace(std::uint64_t micros, std::string_view port,
                                  std::string_view text) {
  // Trace texts carry their own line breaks ("\nSector found\n"): one event, one row.
  const auto isBreak = [](char c) { return c == '\n' || c == '\r'; };
  while (!text.empty() && isBreak(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBreak(text.back())) text.remove_suffix(1);
  std::string line = rowPrefix(micros, port, "--");
  for (char c : text) line.push_back(isBreak(c) ? ' ' : c);
  return line + "\n";
}

std::string formatTranscriptLoss(std::uint64_t micros, std::uint64_t count) {
  return formatTranscriptTrace(micros, "-", std::to_string(count) + " rows lost");
}

Transcript::~Transcript() {
  close();
}

bool Transcript::open(const std::string& path, std::string& error) {
  NamedFile file;
  return file.open(path, FileUse::Write, "the transcript", error) == NamedFile::Outcome::Opened &&
         open(std::move(file), path, error);
}

bool Transcript::open(NamedFile file, const std::string& path, std::string& error) {
  if (!file.truncate(0)) {
    error = "cannot write the transcript " + path + ": it cannot be emptied";
    return false;
  }
  start(OutputFile(std::move(file)));
  return true;
}

void Transcript::start(OutputFile output) {
  std::lock_guard lock(mutex_);
  writer_ = std::make_unique<BackgroundWriter>(std::move(output), kTranscriptQueueBytes);
  start_ = std::chrono::steady_clock::now();
}

std::uint64_t Transcript::microsSinceOpen() const {
  auto elapsed = std::chrono::steady_clock::now() - start_;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
}

void Transcript::add(std::uint64_t micros, std::string rows) {
  const std::uint64_t count = countLines(rows);
  if (unreportedLost_ > 0) rows.insert(0, formatTranscriptLoss(micros, unreportedLost_));
  if (writer_->push(std::move(rows))) {
    unreportedLost_ = 0;
  } else {
    unreportedLost_ += count;
    lostRows_ += count;
  }
}

void Transcript::bytes(std::string_view port, LineDirection direction, const std::uint8_t* data,
                       std::size_t size) {
  if (size == 0) return;
  std::lock_guard lock(mutex_);
  if (writer_ == nullptr) return;
  const std::uint64_t micros = microsSinceOpen();
  add(micros, formatTranscriptBytes(micros, port, direction, data, size));
}

void Transcript::traceLine(std::string_view port, std::string_view text) {
  std::lock_guard lock(mutex_);
  if (writer_ == nullptr) return;
  const std::uint64_t micros = microsSinceOpen();
  add(micros, formatTranscriptTrace(micros, port, text));
}

Transcript::Closing Transcript::close() {
  std::unique_ptr<BackgroundWriter> writer;
  Closing closing;
  {
    std::lock_guard lock(mutex_);
    if (writer_ == nullptr) return closing;
    if (unreportedLost_ > 0)
      writer_->pushAlways(formatTranscriptLoss(microsSinceOpen(), unreportedLost_));
    writer = std::move(writer_);
    closing.lostRows = lostRows_;
  }
  const BackgroundWriter::Report report =
      writer->finish(kTranscriptStallLimit, [] { return false; });
  closing.lostRows += report.lostLines;
  closing.complete = closing.lostRows == 0 && !report.failed;
  return closing;
}

}  // namespace quorvel::cli
