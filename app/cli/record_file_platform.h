#pragma once

#include <string>

#include "app/cli/named_file.h"

// What the record needs of the operating system; one back end per platform.
namespace quorvel::cli::detail {

enum class RecordLock { Taken, Busy, Failed };
// The exclusive lock on the whole record, without waiting; `error` says why on Failed.
RecordLock tryLockRecord(NamedFile& file, std::string& error);
void unlockRecord(NamedFile& file);
// The byte at `offset`, or -1 when it cannot be read.
int recordByteAt(NamedFile& file, std::uint64_t offset);
// Writes `text` at the end of the file, all of it, or false with `error`.
bool writeAtRecordEnd(NamedFile& file, const std::string& text, std::string& error);

}  // namespace quorvel::cli::detail
