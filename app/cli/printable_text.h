#pragma once

#include <string>
#include <string_view>

namespace quorvel::cli {

// Text from a device or the system (USB strings, device and port names), made safe to print
// on a terminal and in tab-separated lines: control characters (tab and line ends included,
// DEL, and the C1 controls U+0080 to U+009F) become "?", and bytes that are not valid UTF-8
// become U+FFFD, so that nothing printed can move the cursor, send an escape sequence to the
// terminal or add a column. Valid UTF-8 passes unchanged.
std::string printableText(std::string_view text);

}  // namespace quorvel::cli
