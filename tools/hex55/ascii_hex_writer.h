#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "tools/hex55/sparse_image.h"

namespace quorvel::hex55 {

inline constexpr std::uint32_t kSectorWords = 4096;
inline constexpr std::uint32_t kBytesPerLine = 16;

// Which byte of each 16-bit word a file holds.
enum class ByteLane { Low, High };

// Writes one ASCII-hex file: STX CR LF; per sector of at most 4096 words "$A", the word
// address in upper-case hex (at least 4 digits), "," CR LF, then the lane's bytes as "XX "
// with 16 a line, each line ending CR LF; finally ETX CR LF. `runs` must hold whole words.
// False when the stream reports a write error.
bool writeAsciiHex(std::span<const ByteRun> runs, ByteLane lane, std::FILE* out);

}  // namespace quorvel::hex55
