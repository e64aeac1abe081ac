#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel::cli {

// What the service record keeps of one instrument's upgrade: one JSON object per port per
// run, written as one line (JSON Lines).
struct UnitRecord {
  std::string time;  // UTC, ISO 8601, when the port's transfer ended
  std::string toolVersion;
  std::string host;
  std::string port;
  std::optional<std::string> usbSerial;    // null when the system does not know it
  std::string image;                       // the image file as the user named it
  std::optional<std::string> imageSha256;  // null when the image could not be read
  std::string compatibility;               // "major.minor"
  std::uint64_t words = 0;                 // data words of the image
  std::uint64_t sectors = 0;               // sectors the instrument acknowledged
  std::uint64_t retries = 0;               // tries beyond the first, over all sectors
  double seconds = 0;                      // from the loader-mode entry to the end of the transfer
  int result = 0;                          // the download result code
  std::string message;                     // its text for the user
};

// The record as one line of JSON, with its line end.
std::string formatRecordLine(const UnitRecord& record);

// `text` as a JSON string, quotes included. Bytes that are not valid UTF-8 become U+FFFD,
// so that the line stays valid JSON whatever a path holds.
std::string jsonString(std::string_view text);

// "2026-12-07T10:15:30Z".
std::string utcTimestamp(std::chrono::system_clock::time_point when);

}  // namespace quorvel::cli
