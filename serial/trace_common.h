#pragma once

#include <cstdarg>
#include <cstddef>

namespace quorvel::detail {

// Formats into `buffer` (kTraceBufferSize bytes) and returns the length of the text kept,
// which is cut safely at the buffer's end.
int formatTrace(char* buffer, const char* format, va_list args);

// Writes the formatted text; one back end per platform.
void writeTrace(const char* text, std::size_t length);

}  // namespace quorvel::detail
