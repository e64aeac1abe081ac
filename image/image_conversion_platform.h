#pragma once

// What the image conversion needs from the operating system; one back end per platform.
namespace quorvel::detail {

// True when the working directory holds an entry of that name, of any kind.
bool entryExists(const char* name);

// Deletes the file, or an empty directory of that name. True when nothing of that name is
// left (also when there was none).
bool deleteFile(const char* name);

// The converter as the back end starts it when nothing else is asked for.
extern const char* const kDefaultConverter;

// How the converter is started. POSIX has no command processor step: both start it directly.
enum class ConverterLaunch {
  CommandProcessor,  // Windows: through the command processor named by COMSPEC
  Direct,            // the program itself
};

// Runs `converter` with the fixed arguments "-a quorvel.out -o LSB.tmp -o MSB.tmp" in
// `directory` (empty: the working directory) and waits for it to end, or ends it when a
// stop is requested. False when it was not started or was stopped.
bool runConverterProcess(const char* converter, const char* directory, ConverterLaunch launch);

}  // namespace quorvel::detail
