#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "app/cli/background_writer.h"

namespace quorvel::cli {

enum class LineDirection { Sent, Received };

// Bytes per transcript row; longer blocks continue on further rows.
inline constexpr std::size_t kTranscriptRowBytes = 16;

// The rows of one block of bytes: each "<micros> <port> TX|RX <hex>  |<ascii>|", where the
// ASCII column shows printable characters and "." for the others.
std::string formatTranscriptBytes(std::uint64_t micros, std::string_view port,
                                  LineDirection direction, const std::uint8_t* data,
                                  std::size_t size);
// One trace line: "<micros> <port> -- <text>", the text's own line end dropped.
std::string formatTranscriptTrace(std::uint64_t micros, std::string_view port,
                                  std::string_view text);

// The limit of the rows waiting for the transcript's writer; beyond it rows are lost.
inline constexpr std::size_t kTranscriptQueueBytes = 1 << 20;
// At the end, how long a transcript that takes nothing more is waited for.
inline constexpr std::chrono::milliseconds kTranscriptStallLimit{300};

// A byte-level record of a run for support: every byte sent and received on every port
// and every trace line, in the order they happened, with the time since the transcript was
// opened. Safe to feed from several transfer threads; each event goes out whole. The rows
// are written by a writer thread of their own, so a slow or stalled file never holds up a
// transfer: rows that find the writer too far behind are lost, and a row
// "-- N rows lost" takes their place once rows get through again.
class Transcript {
 public:
  Transcript() = default;
  ~Transcript();
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;

  // Creates or truncates `path`, a regular file, without blocking; false with `error` when it
  // cannot be written.
  bool open(const std::string& path, std::string& error);
  // Truncates `file`, opened for writing, and writes to it from now on.
  bool open(NamedFile file, const std::string& path, std::string& error);
  // Writes to `output` from now on.
  void start(OutputFile output);
  bool isOpen() const { return writer_ != nullptr; }

  void bytes(std::string_view port, LineDirection direction, const std::uint8_t* data,
             std::size_t size);
  void traceLine(std::string_view port, std::string_view text);

  struct Closing {
    bool complete = true;
    std::uint64_t lostRows = 0;
  };
  // Writes what is left, waiting no longer than kTranscriptStallLimit for a file that takes
  // nothing, and closes.
  Closing close();

 private:
  std::uint64_t microsSinceOpen() const;
  // Under mutex_: hands `rows` to the writer, after the count of rows lost before them.
  void add(std::uint64_t micros, std::string rows);

  std::mutex mutex_;  // keeps the rows in time order; never held across a write
  std::unique_ptr<BackgroundWriter> writer_;
  std::uint64_t unreportedLost_ = 0;  // rows lost since the last row that got through
  std::uint64_t lostRows_ = 0;
  std::chrono::steady_clock::time_point start_;
};

// The row that stands for `count` rows lost.
std::string formatTranscriptLoss(std::uint64_t micros, std::uint64_t count);

}  // namespace quorvel::cli
