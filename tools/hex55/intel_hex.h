#pragma once

#include <string>
#include <string_view>

#include "tools/hex55/sparse_image.h"

namespace quorvel::hex55 {

// True when the first character that is not white space is ':'.
bool looksLikeIntelHex(std::string_view text);

// Reads Intel HEX records into `image`: 00 data, 01 end of file, 02 extended segment
// address, 04 extended linear address; 03 and 05 (start addresses) are ignored. Hex digits
// of either case; blank lines and CR LF line ends are tolerated. Anything else, a missing
// end-of-file record or a record after it, is an error naming the line.
bool parseIntelHex(std::string_view text, SparseImage& image, std::string& error);

}  // namespace quorvel::hex55
