#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

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

// A byte-level record of a run for support: every byte sent and received on every port
// and every trace line, in the order they happened, with the time since the transcript was
// opened. Safe to feed from several transfer threads; each event goes out whole.
class Transcript {
 public:
  Transcript() = default;
  ~Transcript();
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;

  // Creates or truncates `path`; false with `error` when it cannot be written.
  bool open(const std::string& path, std::string& error);
  bool isOpen() const { return file_ != nullptr; }

  void bytes(std::string_view port, LineDirection direction, const std::uint8_t* data,
             std::size_t size);
  void traceLine(std::string_view port, std::string_view text);
  // Flushes and closes; false when something could not be written.
  bool close();

 private:
  std::uint64_t microsSinceOpen() const;
  void write(const std::string& text);

  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  bool failed_ = false;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace quorvel::cli
