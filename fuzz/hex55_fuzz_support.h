#pragma once

#include <cstdint>

#include "tools/hex55/sparse_image.h"

namespace quorvel::fuzz {

// Finishes a parsed image and writes both byte lanes to a sink. Traps when the runs are not
// whole words in ascending, separate order, or hold more than `maxImageBytes` bytes.
void finishAndWrite(hex55::SparseImage& image, std::uint64_t maxImageBytes);

}  // namespace quorvel::fuzz
