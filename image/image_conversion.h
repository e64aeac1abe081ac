#pragma once

#include <string>

namespace quorvel {

// File names of the image and its conversion, relative to the working directory.
inline constexpr const char* kImageFileName = "quorvel.out";
inline constexpr const char* kLsbFileName = "LSB.tmp";
inline constexpr const char* kMsbFileName = "MSB.tmp";

// Platform names: "hex55.exe" / "ZambrioQUORVEL.exe" on Windows, "hex55" / "ZambrioQUORVEL"
// elsewhere.
const char* converterFileName();
const char* programFileName();

// Runs the converter on the image in the working directory and waits for it to end. Its
// exit status is not examined: whether both temporary files can be opened tells.
void runConverter();

// Deletes MSB.tmp, then LSB.tmp; failures (a file never created) are ignored.
void removeTemporaryFiles();

// Outcome of the required-file check. The front end shows `message` when !ok.
struct RequiredFileCheck {
  bool ok = true;
  std::string missingFile;  // "quorvel.out" or the converter's name; empty when ok
  std::string message;      // the text for the user; empty when ok
};

// Looks for the image, then the converter; reports the first one missing.
RequiredFileCheck checkRequiredFiles();

}  // namespace quorvel
