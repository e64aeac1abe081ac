#include "tools/hex55/elf_image.h"

#include <cstddef>

namespace quorvel::hex55 {
namespace {

constexpr std::uint8_t kMagic[] = {0x7F, 'E', 'L', 'F'};
constexpr std::size_t kIdentBytes = 16;
constexpr std::size_t kClassIndex = 4;
constexpr std::size_t kDataIndex = 5;
constexpr std::uint8_t kClass32 = 1;
constexpr std::uint8_t kClass64 = 2;
constexpr std::uint8_t kLittleEndian = 1;
constexpr std::uint8_t kBigEndian = 2;
constexpr std::uint32_t kLoadSegment = 1;                      // PT_LOAD
constexpr std::uint16_t kExtendedProgramHeaderCount = 0xFFFF;  // PN_XNUM

// Where the fields of the file header and of a program header lie, per class.
struct Layout {
  std::size_t headerBytes;
  std::size_t phoff, phoffBytes, phentsize, phnum;
  std::size_t programHeaderBytes;
  std::size_t type, offset, paddr, filesz, fieldBytes;
};

constexpr Layout kElf32{52, 28, 4, 42, 44, 32, 0, 4, 12, 16, 4};
constexpr Layout kElf64{64, 32, 8, 54, 56, 56, 0, 8, 24, 32, 8};

// Little-endian unsigned field; the caller has checked that it lies inside the file.
std::uint64_t field(std::span<const std::uint8_t> file, std::size_t at, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = bytes; i-- > 0;) value = value << 8 | file[at + i];
  return value;
}

bool fitsIn(std::uint64_t offset, std::uint64_t size, std::size_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

bool fail(std::string& error, const std::string& what) {
  error = "ELF: " + what;
  return false;
}

bool checkIdent(std::span<const std::uint8_t> file, const Layout*& layout, std::string& error) {
  if (file.size() < kIdentBytes) return fail(error, "truncated file header");
  switch (file[kDataIndex]) {
    case kLittleEndian:
      break;
    case kBigEndian:
      return fail(error, "big-endian files are not supported");
    default:
      return fail(error, "unknown byte order");
  }
  switch (file[kClassIndex]) {
    case kClass32:
      layout = &kElf32;
      break;
    case kClass64:
      layout = &kElf64;
      break;
    default:
      return fail(error, "unknown file class");
  }
  if (file.size() < layout->headerBytes) return fail(error, "truncated file header");
  return true;
}

// `placed` counts the file bytes all segments so far have put into the image.
bool addSegment(std::span<const std::uint8_t> file, const Layout& l, std::size_t at,
                std::uint64_t index, std::uint64_t& placed, SparseImage& image,
                std::string& error) {
  if (field(file, at + l.type, 4) != kLoadSegment) return true;
  const std::uint64_t offset = field(file, at + l.offset, l.fieldBytes);
  const std::uint64_t size = field(file, at + l.filesz, l.fieldBytes);
  const std::uint64_t address = field(file, at + l.paddr, l.fieldBytes);
  if (size == 0) return true;
  const std::string segment = "segment " + std::to_string(index);
  if (!fitsIn(offset, size, file.size())) {
    return fail(error, "truncated file: " + segment + " lies beyond the end of the file");
  }
  // Segments that share file bytes could otherwise make a small file fill gigabytes: one
  // kilobyte pointed at by thousands of program headers at as many addresses.
  if (size > file.size() - placed) {
    return fail(error, segment + ": segments place more bytes than the file holds");
  }
  placed += size;
  std::string why;
  if (!image.add(address, file.subspan(offset, size), why)) {
    return fail(error, segment + ": " + why);
  }
  return true;
}

}  // namespace

bool looksLikeElf(std::span<const std::uint8_t> file) {
  if (file.size() < sizeof kMagic) return false;
  for (std::size_t i = 0; i < sizeof kMagic; ++i) {
    if (file[i] != kMagic[i]) return false;
  }
  return true;
}

bool parseElf(std::span<const std::uint8_t> file, SparseImage& image, std::string& error) {
  const Layout* layout = nullptr;
  if (!checkIdent(file, layout, error)) return false;
  const Layout& l = *layout;
  const std::uint64_t tableOffset = field(file, l.phoff, l.phoffBytes);
  const std::uint64_t entryBytes = field(file, l.phentsize, 2);
  const std::uint64_t count = field(file, l.phnum, 2);
  if (count == kExtendedProgramHeaderCount) {
    return fail(error, "more than 65534 program headers are not supported");
  }
  if (count > 0 && entryBytes < l.programHeaderBytes) {
    return fail(error, "program headers too small");
  }
  if (!fitsIn(tableOffset, entryBytes * count, file.size())) {
    return fail(error, "truncated file: program headers lie beyond the end of the file");
  }
  std::uint64_t placed = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto at = static_cast<std::size_t>(tableOffset + i * entryBytes);
    if (!addSegment(file, l, at, i, placed, image, error)) return false;
  }
  return true;
}

}  // namespace quorvel::hex55
