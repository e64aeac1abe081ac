// Any file given to the converter's ELF reader: no crash, no access outside the file, and an
// accepted image is whole words in address order that holds no more data than the file
// itself (padding at most doubles it), however the program headers point into the file.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz/hex55_fuzz_support.h"
#include "tools/hex55/elf_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  quorvel::hex55::looksLikeElf(file);
  quorvel::hex55::SparseImage image;
  std::string error;
  if (quorvel::hex55::parseElf(file, image, error)) {
    quorvel::fuzz::finishAndWrite(image, 2 * std::uint64_t{size});
  } else if (error.empty()) {
    __builtin_trap();  // a refusal always says why
  }
  return 0;
}
