#pragma once

// What the image conversion needs from the operating system; one back end per platform.
namespace quorvel::detail {

// True when the working directory holds an entry of that name, of any kind.
bool entryExists(const char* name);

// Deletes the file; a failure (no such file) is ignored.
void deleteFile(const char* name);

}  // namespace quorvel::detail
