// Any text given to the converter's Intel HEX reader: no crash, no access outside its
// buffers, and an accepted image is whole words in address order, never larger than the text
// (each data byte takes two digits; padding at most doubles a run).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/hex55_fuzz_support.h"
#include "tools/hex55/intel_hex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  quorvel::hex55::looksLikeIntelHex(text);
  quorvel::hex55::SparseImage image;
  std::string error;
  if (quorvel::hex55::parseIntelHex(text, image, error)) {
    quorvel::fuzz::finishAndWrite(image, size);
  } else if (error.empty()) {
    __builtin_trap();  // a refusal always says why
  }
  return 0;
}
