#include "tools/quorvel-sim/modbus_ascii.h"

namespace quorvel::sim {
namespace {

constexpr std::string_view kUpperDigits = "0123456789ABCDEF";
constexpr std::string_view kLowerDigits = "0123456789abcdef";
constexpr std::string_view kFrameEnd = "\r\n";
constexpr std::size_t kMinFrameChars = 1 + 2 + kFrameEnd.size();  // ":" LRC CR LF

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::uint8_t modbusLrc(const std::vector<std::uint8_t>& message) {
  std::uint8_t sum = 0;
  for (auto byte : message) sum = static_cast<std::uint8_t>(sum + byte);
  return static_cast<std::uint8_t>(-sum);
}

std::string encodeModbusAscii(const std::vector<std::uint8_t>& message, HexCase hexCase) {
  const std::string_view digits = hexCase == HexCase::Upper ? kUpperDigits : kLowerDigits;
  std::string frame(1, kModbusFrameStart);
  auto append = [&](std::uint8_t byte) {
    frame += digits[byte >> 4];
    frame += digits[byte & 0x0F];
  };
  for (auto byte : message) append(byte);
  append(modbusLrc(message));
  frame += kFrameEnd;
  return frame;
}

std::optional<std::vector<std::uint8_t>> decodeModbusAscii(std::string_view frame) {
  if (frame.size() < kMinFrameChars || frame.front() != kModbusFrameStart ||
      !frame.ends_with(kFrameEnd)) {
    return std::nullopt;
  }
  const std::string_view digits = frame.substr(1, frame.size() - 1 - kFrameEnd.size());
  if (digits.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(digits.size() / 2);
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int high = digitValue(digits[i]);
    const int low = digitValue(digits[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    const auto byte = static_cast<std::uint8_t>(high * 16 + low);
    sum = static_cast<std::uint8_t>(sum + byte);
    bytes.push_back(byte);
  }
  if (sum != 0) return std::nullopt;
  bytes.pop_back();  // the LRC
  return bytes;
}

}  // namespace quorvel::sim
