#pragma once

#include <cstdint>

// What every serial back end does when a read or a write ends: the bytes to the line monitor
// of the thread, then the failure or the shortfall to the trace.
namespace quorvel::detail {

// "RS232 READ ERROR" (step 111) when `failed`, else "RS232 READ TIMEOUT" (not shown) when
// fewer than `count` bytes came.
void finishRead(const std::uint8_t* buffer, std::uint32_t received, std::uint32_t count,
                bool failed);
// "RS232 WRITE ERROR" (step 183) when `failed`, else the short-write line (step 187) when
// fewer than `count` bytes went.
void finishWrite(const std::uint8_t* buffer, std::uint32_t written, std::uint32_t count,
                 bool failed);

}  // namespace quorvel::detail
