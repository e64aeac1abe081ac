#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "tools/hex55/sparse_image.h"

namespace quorvel::hex55 {

// True when the file starts with the ELF magic number.
bool looksLikeElf(std::span<const std::uint8_t> file);

// Places the file bytes of every PT_LOAD segment (p_filesz bytes from p_offset) at its
// physical address p_paddr; memory beyond p_filesz is not part of the image. ELF32 and
// ELF64, little-endian only. Every offset and size is checked against the file, and the
// segments together may not place more bytes than the file holds.
bool parseElf(std::span<const std::uint8_t> file, SparseImage& image, std::string& error);

}  // namespace quorvel::hex55
