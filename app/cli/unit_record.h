#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace quorvel::cli {

// What the service record keeps of one instrument's upgrade: one JSON object per port per
// run, written as one line (JSON Lines). The `unit` event of the JSON stream carries the same
// fields.
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
  std::optional<bool> verified;            // null when the restart was not to be checked
  std::optional<double> restartSeconds;    // from "GO" to the instrument's answer, if it came
};

// The record as one line of JSON, with its line end. Text that is not valid UTF-8 (a path)
// has U+FFFD in place of the bad bytes, so that the line stays valid JSON.
std::string formatRecordLine(const UnitRecord& record);

// "2026-12-07T10:15:30Z".
std::string utcTimestamp(std::chrono::system_clock::time_point when);
// "2026-12-07T10:15:30.123Z".
std::string utcTimestampMs(std::chrono::system_clock::time_point when);

}  // namespace quorvel::cli
