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

// Where the converter runs and with what.
struct ConversionSetup {
  // Where the image quorvel.out is read and LSB.tmp and MSB.tmp are written; empty: the
  // working directory.
  std::string directory;
  // The converter's path, started directly (no command processor) in `directory`; empty:
  // the platform's converter in `directory`, started as the dialog program always has.
  std::string converter;
};

// `name` inside `directory` (just `name` when the directory is empty). Windows takes the
// forward slash too.
inline std::string pathIn(const std::string& directory, const char* name) {
  return directory.empty() ? std::string(name) : directory + "/" + name;
}

// Runs the converter on the image and waits for it to end. LSB.tmp and MSB.tmp are deleted
// first, so that only what this run writes can ever be read. False when the converter did
// not run to its end on fresh files: the old files could not be deleted, the converter is
// absent or could not be started, or a stop was requested. Its exit status is not examined:
// whether both temporary files can be opened tells. Without a setup: the working directory.
bool runConverter(const ConversionSetup& setup = {});

// Ends a running converter together with everything it started (SIGTERM to its process
// group, SIGKILL after a short grace; on Windows its job), and keeps a later one from
// starting. Lock-free and async-signal-safe: for the command line's interrupt handler.
void requestConverterStop();

// Deletes MSB.tmp, then LSB.tmp (an empty directory of that name too) from `directory` (empty:
// the working directory); an absent one is fine. False when either is still there.
bool removeTemporaryFiles(const std::string& directory = {});

// Outcome of the required-file check. The front end shows `message` when !ok.
struct RequiredFileCheck {
  bool ok = true;
  std::string missingFile;  // "quorvel.out" or the converter's name; empty when ok
  std::string message;      // the text for the user; empty when ok
};

// Looks for the image, then the converter; reports the first one missing.
RequiredFileCheck checkRequiredFiles();

}  // namespace quorvel
