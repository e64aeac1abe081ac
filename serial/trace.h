#pragma once

#include <cstdint>

#if defined(__MINGW32__)
#define QUORVEL_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define QUORVEL_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define QUORVEL_PRINTF_FORMAT(f, a)
#endif

namespace quorvel {

// Room for 1023 characters and the terminator; longer text is cut.
inline constexpr int kTraceBufferSize = 1024;

// Diagnostic trace to standard output. Each call site passes a fixed enable flag: 0 drops
// the trace without formatting it. Returns the number of characters formatted (at most
// kTraceBufferSize - 1), 0 for a dropped trace. One write per trace, no state, no lock.
int trace(std::uint8_t enable, const char* format, ...) QUORVEL_PRINTF_FORMAT(2, 3);

}  // namespace quorvel
