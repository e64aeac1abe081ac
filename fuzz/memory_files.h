#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The files that the fuzz targets' memory back end of ReadOnlyFile (read_only_file_memory.cpp)
// serves instead of the file system: a target puts each input's files here, by path.
namespace quorvel::fuzz {

// Serves `size` bytes at `data` as the regular file `path` until the next call for the same
// path; the bytes must outlive every open of it.
void setMemoryFile(const std::string& path, const std::uint8_t* data, std::size_t size);

}  // namespace quorvel::fuzz
