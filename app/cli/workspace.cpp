#include "app/cli/workspace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "app/cli/sha256.h"
#include "image/image_conversion.h"

namespace quorvel::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kCopyChunkBytes = 64 * 1024;
constexpr const char* kPartialSuffix = ".part";

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Copies and hashes chunk by chunk; false with `error` set.
bool copyStream(std::FILE* in, std::FILE* out, Sha256& hash, bool (*stopRequested)(),
                std::string& error) {
  std::vector<unsigned char> chunk(kCopyChunkBytes);
  for (;;) {
    if (stopRequested != nullptr && stopRequested()) {
      error = "interrupted";
      return false;
    }
    errno = 0;
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), in);
    if (std::ferror(in)) {
      error = errno != 0 ? std::strerror(errno) : "read error";
      return false;
    }
    if (std::fwrite(chunk.data(), 1, got, out) != got) {
      error = std::strerror(errno);
      return false;
    }
    hash.update(chunk.data(), got);
    if (got < chunk.size()) return true;
  }
}

bool copyFile(const std::string& source, const std::string& target, Sha256& hash,
              bool (*stopRequested)(), std::string& error) {
  File in(std::fopen(source.c_str(), "rb"));
  File out(in ? std::fopen(target.c_str(), "wb") : nullptr);
  if (!in || !out) {
    error = std::strerror(errno);
    return false;
  }
  if (!copyStream(in.get(), out.get(), hash, stopRequested, error)) return false;
  if (std::fclose(out.release()) == 0) return true;  // the last bytes may fail only here
  error = std::strerror(errno);
  return false;
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

ImageCopy copyImage(const std::string& source, const std::string& directory,
                    bool (*stopRequested)()) {
  ImageCopy result;
  std::error_code missing;
  if (!fs::exists(source, missing)) return result;  // reported by the required-file check
  const std::string target = pathIn(directory, kImageFileName);
  const std::string partial = target + kPartialSuffix;
  Sha256 hash;
  if (copyFile(source, partial, hash, stopRequested, result.error)) {
    std::error_code renamed;
    fs::rename(partial, target, renamed);
    if (renamed) result.error = renamed.message();
  }
  if (!result.error.empty()) {
    std::error_code ignored;
    fs::remove(partial, ignored);
    return result;
  }
  result.copied = true;
  result.sha256 = toHex(hash.finish());
  return result;
}

ConverterChoice chooseConverter(const std::string& given) {
  std::error_code error;
  if (!given.empty()) return {given, fs::absolute(given, error).string(), false};
  const fs::path local = converterFileName();
  ConverterChoice choice{local.string(), fs::absolute(local, error).string(), false};
  if (fs::exists(local, error)) return choice;
  const std::string ownDirectory = programDirectory();
  if (ownDirectory.empty()) return choice;
  const fs::path beside = fs::path(ownDirectory) / local;
  if (!fs::exists(beside, error)) return choice;
  choice.path = beside.string();
  choice.besideProgram = true;
  return choice;
}

}  // namespace quorvel::cli
