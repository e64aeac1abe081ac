#pragma once

#include <filesystem>

#include "image/image_conversion.h"

namespace quorvel::testing {

// Made absolute when the program starts, before a test changes the working directory (under
// Wine a path without a drive letter is taken on the current drive).
inline const std::filesystem::path kFakeConverterPath = std::filesystem::absolute(FAKE_HEX55_PATH);

// Puts the fake converter (fake_hex55.cpp) in the working directory under the converter's
// name; a marker file "hang" makes it hang.
inline void writeFakeConverter() {
  std::filesystem::copy_file(kFakeConverterPath, converterFileName(),
                             std::filesystem::copy_options::overwrite_existing);
}

}  // namespace quorvel::testing
