#include "app/cli/unit_record.h"

#include <cmath>
#include <cstdio>

#include "app/cli/record_json.h"

namespace quorvel::cli {
namespace {

constexpr double kMsPerSecond = 1000.0;

Json optionalText(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

// The date and time of day of `when`, to the second, without the zone.
std::string dateAndTime(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto wholeSeconds = floor<seconds>(when);
  const auto day = floor<days>(wholeSeconds);
  const year_month_day date(day);
  const hh_mm_ss time(wholeSeconds - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

}  // namespace

double roundedToMs(double seconds) {
  return std::round(seconds * kMsPerSecond) / kMsPerSecond;
}

void addUnitFields(Json& object, const UnitRecord& record) {
  object["tool_version"] = record.toolVersion;
  object["host"] = record.host;
  object["port"] = record.port;
  object["usb_serial"] = optionalText(record.usbSerial);
  object["image"] = record.image;
  object["image_sha256"] = optionalText(record.imageSha256);
  object["compatibility"] = record.compatibility;
  object["words"] = record.words;
  object["sectors"] = record.sectors;
  object["retries"] = record.retries;
  object["seconds"] = roundedToMs(record.seconds);
  object["result"] = record.result;
  object["message"] = record.message;
  object["verified"] = record.verified ? Json(*record.verified) : Json(nullptr);
  object["restart_seconds"] =
      record.restartSeconds ? Json(roundedToMs(*record.restartSeconds)) : Json(nullptr);
}

std::string jsonLine(const Json& object) {
  return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string formatRecordLine(const UnitRecord& record) {
  Json line;
  line["time"] = record.time;
  addUnitFields(line, record);
  return jsonLine(line);
}

std::string utcTimestamp(std::chrono::system_clock::time_point when) {
  return dateAndTime(when) + "Z";
}

std::string utcTimestampMs(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(when - floor<seconds>(when)).count();
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(ms));
  return dateAndTime(when) + fraction + "Z";
}

}  // namespace quorvel::cli
