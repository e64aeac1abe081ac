#pragma once

#include <optional>
#include <string>

// POSIX: the small text files of the system (/proc, sysfs), read whole through a descriptor
// that no program started meanwhile inherits (std::ifstream gives no close-on-exec).
namespace quorvel {

// Up to `limit` bytes of the file; none when it cannot be opened or read.
std::optional<std::string> readSystemFile(const std::string& path, std::size_t limit = 65536);

}  // namespace quorvel
