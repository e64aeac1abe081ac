// ReadOnlyFile over memory, for the fuzz targets only: every input is read without a system
// call, many times faster than through files on disk. A path that was not set is missing.
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "fuzz/memory_files.h"
#include "image/read_only_file.h"

namespace quorvel {
namespace {

struct MemoryFile {
  std::string path;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

struct OpenFile {
  std::size_t file = 0;  // index into memoryFiles()
  std::uint64_t offset = 0;
  bool used = false;
};

std::vector<MemoryFile>& memoryFiles() {
  static std::vector<MemoryFile> files;
  return files;
}

// The handle of a ReadOnlyFile is its index here.
std::vector<OpenFile>& openFiles() {
  static std::vector<OpenFile> files;
  return files;
}

OpenFile& openFile(std::intptr_t handle) {
  return openFiles()[static_cast<std::size_t>(handle)];
}

std::intptr_t freeSlot() {
  std::vector<OpenFile>& slots = openFiles();
  auto free = std::find_if(slots.begin(), slots.end(), [](const OpenFile& f) { return !f.used; });
  if (free == slots.end()) free = slots.insert(slots.end(), OpenFile{});
  return free - slots.begin();
}

}  // namespace

namespace fuzz {

void setMemoryFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::vector<MemoryFile>& files = memoryFiles();
  auto found = std::find_if(files.begin(), files.end(),
                            [&](const MemoryFile& file) { return file.path == path; });
  if (found == files.end()) found = files.insert(files.end(), MemoryFile{path});
  found->data = data;
  found->size = size;
}

}  // namespace fuzz

bool ReadOnlyFile::open(const char* path) {
  close();
  const std::vector<MemoryFile>& files = memoryFiles();
  auto found = std::find_if(files.begin(), files.end(),
                            [&](const MemoryFile& file) { return file.path == path; });
  if (found == files.end()) return false;
  handle_ = freeSlot();
  openFile(handle_) = {static_cast<std::size_t>(found - files.begin()), 0, true};
  return true;
}

void ReadOnlyFile::close() {
  if (handle_ != kNone) openFile(std::exchange(handle_, kNone)).used = false;
}

std::size_t ReadOnlyFile::read(unsigned char* buffer, std::size_t count) {
  if (handle_ == kNone) return 0;
  OpenFile& open = openFile(handle_);
  const MemoryFile& file = memoryFiles()[open.file];
  if (open.offset >= file.size) return 0;
  const std::size_t n = std::min<std::uint64_t>(count, file.size - open.offset);
  std::memcpy(buffer, file.data + open.offset, n);
  open.offset += n;
  return n;
}

bool ReadOnlyFile::seek(std::uint64_t offset) {
  if (handle_ == kNone || offset > static_cast<std::uint64_t>(LLONG_MAX)) return false;
  openFile(handle_).offset = offset;
  return true;
}

std::uint64_t ReadOnlyFile::size() const {
  if (handle_ == kNone) return 0;
  return memoryFiles()[openFile(handle_).file].size;
}

}  // namespace quorvel
