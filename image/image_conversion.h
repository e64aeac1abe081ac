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

// Runs the converter on the image in the working directory and waits for it to end. LSB.tmp
// and MSB.tmp are deleted first, so that only what this run writes can ever be read. False
// when the converter did not run to its end on fresh files: the old files could not be
// deleted, the converter is absent or could not be started, or a stop was requested. Its
// exit status is not examined: whether both temporary files can be opened tells.
bool runConverter();

// Ends a running converter together with everything it started (SIGTERM to its process
// group, SIGKILL after a short grace; on Windows its job), and keeps a later one from
// starting. Lock-free and async-signal-safe: for the command line's interrupt handler.
void requestConverterStop();

// Deletes MSB.tmp, then LSB.tmp (an empty directory of that name too); an absent one is
// fine. False when either is still there.
bool removeTemporaryFiles();

// Outcome of the required-file check. The front end shows `message` when !ok.
struct RequiredFileCheck {
  bool ok = true;
  std::string missingFile;  // "quorvel.out" or the converter's name; empty when ok
  std::string message;      // the text for the user; empty when ok
};

// Looks for the image, then the converter; reports the first one missing.
RequiredFileCheck checkRequiredFiles();

}  // namespace quorvel
