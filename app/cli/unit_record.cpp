#include "app/cli/unit_record.h"

#include <cstdio>

namespace quorvel::cli {
namespace {

constexpr const char* kReplacementCharacter = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at the start of `text`, 0 when it is not one.
std::size_t utf8SequenceLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  unsigned minimum = 0;
  unsigned value = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, value = lead & 0x1Fu;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, value = lead & 0x0Fu;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, value = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3Fu);
  }
  const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
  return value < minimum || value > 0x10FFFF || surrogate ? 0 : length;
}

void appendEscaped(std::string& out, char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (static_cast<unsigned char>(c) < 0x20) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
    out += escape;
  } else {
    out += c;
  }
}

std::string secondsText(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  while (!text.empty()) {
    std::size_t length = utf8SequenceLength(text);
    if (length == 0) {
      out += kReplacementCharacter;
      length = 1;
    } else if (length == 1) {
      appendEscaped(out, text[0]);
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return out + "\"";
}

std::string formatRecordLine(const UnitRecord& record) {
  std::string line = "{";
  auto field = [&line](const char* name, const std::string& json) {
    if (line.size() > 1) line += ",";
    line.append("\"").append(name).append("\":").append(json);
  };
  field("time", jsonString(record.time));
  field("tool_version", jsonString(record.toolVersion));
  field("host", jsonString(record.host));
  field("port", jsonString(record.port));
  field("usb_serial", record.usbSerial ? jsonString(*record.usbSerial) : "null");
  field("image", jsonString(record.image));
  field("image_sha256", record.imageSha256 ? jsonString(*record.imageSha256) : "null");
  field("compatibility", jsonString(record.compatibility));
  field("words", std::to_string(record.words));
  field("sectors", std::to_string(record.sectors));
  field("retries", std::to_string(record.retries));
  field("seconds", secondsText(record.seconds));
  field("result", std::to_string(record.result));
  field("message", jsonString(record.message));
  return line + "}\n";
}

std::string utcTimestamp(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto wholeSeconds = floor<seconds>(when);
  const auto day = floor<days>(wholeSeconds);
  const year_month_day date(day);
  const hh_mm_ss time(wholeSeconds - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

}  // namespace quorvel::cli
