#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::sim {

inline constexpr char kModbusFrameStart = ':';
inline constexpr std::size_t kModbusMaxMessageBytes = 256;
// ":" + two digits per byte (LRC included) + CR LF.
inline constexpr std::size_t kModbusMaxFrameChars = 1 + 2 * (kModbusMaxMessageBytes + 1) + 2;

enum class HexCase { Upper, Lower };

// The longitudinal redundancy check: two's complement of the 8-bit sum of the bytes.
std::uint8_t modbusLrc(const std::vector<std::uint8_t>& message);

// ":" + message bytes and LRC as hex digits + CR LF.
std::string encodeModbusAscii(const std::vector<std::uint8_t>& message, HexCase hexCase);

// The message bytes (LRC removed) of a complete frame ":" ... CR LF, or nothing when the
// delimiters, the digits (either case) or the LRC are wrong.
std::optional<std::vector<std::uint8_t>> decodeModbusAscii(std::string_view frame);

}  // namespace quorvel::sim
