#include "app/cli/workspace.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "app/cli/sha256.h"
#include "image/image_conversion.h"
#include "platform/path_text.h"

namespace quorvel::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kCopyChunkBytes = 64 * 1024;
constexpr const char* kPartialSuffix = ".part";

// Copies and hashes chunk by chunk; false with `error` set.
bool copyChunks(NamedFile& in, NamedFile& out, Sha256& hash, bool (*stopRequested)(),
                std::string& error) {
  std::vector<unsigned char> chunk(kCopyChunkBytes);
  for (;;) {
    if (stopRequested != nullptr && stopRequested()) {
      error = "interrupted";
      return false;
    }
    const long long got = in.read(chunk.data(), chunk.size(), error);
    if (got < 0) return false;
    if (got == 0) return true;
    const auto size = static_cast<std::size_t>(got);
    if (!out.write(chunk.data(), size, error)) return false;
    hash.update(chunk.data(), size);
  }
}

}  // namespace

PrivateDirectory::~PrivateDirectory() {
  if (!path_.empty()) removeRunDirectory(path_);
}

long detail::privateDirectoryOwner(std::string_view name) {
  constexpr long kHighestProcessId = 0x7FFFFFFF;
  const std::string_view prefix = kPrivateDirectoryPrefix;
  if (!name.starts_with(prefix)) return 0;
  name.remove_prefix(prefix.size());
  long pid = 0;
  std::size_t digits = 0;
  for (; digits < name.size() && name[digits] >= '0' && name[digits] <= '9'; ++digits) {
    pid = pid * 10 + (name[digits] - '0');
    if (pid > kHighestProcessId) return 0;
  }
  const bool separated = digits > 0 && digits + 1 < name.size() && name[digits] == '-';
  return separated ? pid : 0;
}

std::array<std::string, 4> runFileNames() {
  return {kImageFileName, std::string(kImageFileName) + kPartialSuffix, kLsbFileName, kMsbFileName};
}

ImageCopy copyImage(NamedFile& image, const std::string& directory, bool (*stopRequested)()) {
  ImageCopy result;
  const std::string target = pathIn(directory, kImageFileName);
  const std::string partial = target + kPartialSuffix;
  NamedFile copy;
  Sha256 hash;
  std::string error;
  if (copy.open(partial, FileUse::Create, "the copy of the image", error) !=
      NamedFile::Outcome::Opened) {
    result.error = error;
    return result;
  }
  if (copyChunks(image, copy, hash, stopRequested, error) && !copy.close()) {
    error = "it could not be written whole";  // the last bytes may fail only here
  }
  if (error.empty()) {
    std::error_code renamed;
    fs::rename(pathFromText(partial), pathFromText(target), renamed);
    if (renamed) error = renamed.message();
  }
  if (!error.empty()) {
    copy.close();
    std::error_code ignored;
    fs::remove(pathFromText(partial), ignored);
    result.error = error;
    return result;
  }
  result.copied = true;
  result.sha256 = toHex(hash.finish());
  return result;
}

ConverterChoice chooseConverter(const std::string& given) {
  std::error_code error;
  if (!given.empty()) return {given, textOfPath(fs::absolute(pathFromText(given), error)), false};
  const fs::path local = converterFileName();
  ConverterChoice choice{local.string(), textOfPath(fs::absolute(local, error)), false};
  if (fs::exists(local, error)) return choice;
  const std::string ownDirectory = programDirectory();
  if (ownDirectory.empty()) return choice;
  const fs::path beside = pathFromText(ownDirectory) / local;
  if (!fs::exists(beside, error)) return choice;
  choice.path = textOfPath(beside);
  choice.besideProgram = true;
  return choice;
}

}  // namespace quorvel::cli
