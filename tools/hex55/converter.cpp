#include "tools/hex55/converter.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

#include "quorvel_version.h"
#include "tools/hex55/ascii_hex_writer.h"
#include "tools/hex55/elf_image.h"
#include "tools/hex55/intel_hex.h"
#include "tools/hex55/sparse_image.h"

namespace quorvel::hex55 {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPartialSuffix = ".partial";
constexpr std::size_t kReadChunkBytes = 1 << 16;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string quoted(const std::string& path) {
  return "'" + path + "'";
}

std::string systemError() {
  return std::strerror(errno);
}

bool readWholeFile(const std::string& path, std::vector<std::uint8_t>& contents,
                   std::string& error) {
  errno = 0;
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    error = "cannot open input " + quoted(path) + ": " + systemError();
    return false;
  }
  std::uint8_t chunk[kReadChunkBytes];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    contents.insert(contents.end(), chunk, chunk + got);
  }
  if (std::ferror(file.get())) {
    error = "cannot read input " + quoted(path);
    return false;
  }
  return true;
}

bool loadImage(const std::vector<std::uint8_t>& file, SparseImage& image, std::string& error) {
  const std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
  if (file.empty()) {
    error = "the input file is empty";
    return false;
  }
  if (looksLikeElf(file)) return parseElf(file, image, error);
  if (looksLikeIntelHex(text)) return parseIntelHex(text, image, error);
  error = "unknown input format: neither Intel HEX nor ELF";
  return false;
}

bool sameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code ec;
  if (fs::equivalent(a, b, ec)) return true;
  const fs::path canonicalA = fs::weakly_canonical(a, ec);
  if (ec) return false;
  const fs::path canonicalB = fs::weakly_canonical(b, ec);
  return !ec && canonicalA == canonicalB;
}

// One output file written under a temporary name and renamed into place at the end.
// Until commit(), destruction removes the temporary file and the final name as well.
class PendingOutput {
 public:
  explicit PendingOutput(std::string path)
      : path_(std::move(path)), partial_(path_ + kPartialSuffix) {}
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;
  ~PendingOutput() {
    if (committed_) return;
    std::error_code ec;
    fs::remove(partial_, ec);
    if (fs::is_regular_file(path_, ec)) fs::remove(path_, ec);
  }

  bool write(std::span<const ByteRun> runs, ByteLane lane, std::string& error) {
    errno = 0;
    FilePtr file(std::fopen(partial_.c_str(), "wb"));
    if (!file) return fail(error, systemError());
    const bool written = writeAsciiHex(runs, lane, file.get());
    const bool closed = std::fclose(file.release()) == 0;
    return (written && closed) || fail(error, "write error");
  }

  bool moveIntoPlace(std::string& error) {
    std::error_code ec;
    fs::rename(partial_, path_, ec);
    return !ec || fail(error, ec.message());
  }

  void commit() { committed_ = true; }

 private:
  bool fail(std::string& error, const std::string& why) const {
    error = "cannot write " + quoted(path_) + ": " + why;
    return false;
  }

  std::string path_;
  std::string partial_;
  bool committed_ = false;
};

bool checkPaths(const CommandLine& commandLine, std::string& error) {
  if (sameFile(commandLine.lsbOutput, commandLine.msbOutput)) {
    error = "the two output files must be different files";
    return false;
  }
  for (const std::string* output : {&commandLine.lsbOutput, &commandLine.msbOutput}) {
    if (sameFile(commandLine.input, *output)) {
      error = "output " + quoted(*output) + " would overwrite the input";
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<CommandLine> parseCommandLine(std::span<const char* const> args) {
  constexpr std::size_t kArgumentCount = 6;
  if (args.size() != kArgumentCount) return std::nullopt;
  const auto is = [&](std::size_t i, const char* flag) { return std::strcmp(args[i], flag) == 0; };
  if (!is(0, "-a") || !is(2, "-o") || !is(4, "-o")) return std::nullopt;
  for (std::size_t i = 1; i < kArgumentCount; i += 2) {
    if (args[i][0] == '\0') return std::nullopt;
  }
  return CommandLine{args[1], args[3], args[5]};
}

const char* usageText() {
  return "usage: hex55 -a INPUT -o LSB -o MSB\n"
         "       hex55 --help | --version\n"
         "  INPUT  firmware image: Intel HEX or little-endian ELF32/ELF64\n"
         "  LSB    ASCII-hex file written with the low bytes of the 16-bit words\n"
         "  MSB    ASCII-hex file written with the high bytes\n";
}

bool convert(const CommandLine& commandLine, std::string& error) {
  if (!checkPaths(commandLine, error)) return false;
  PendingOutput lsb(commandLine.lsbOutput);
  PendingOutput msb(commandLine.msbOutput);

  SparseImage image;
  {
    std::vector<std::uint8_t> file;
    if (!readWholeFile(commandLine.input, file, error)) return false;
    if (!loadImage(file, image, error)) return false;
  }
  if (image.empty()) {
    error = "the image holds no data";
    return false;
  }
  const std::vector<ByteRun> runs = image.finish();
  if (!lsb.write(runs, ByteLane::Low, error) || !msb.write(runs, ByteLane::High, error)) {
    return false;
  }
  if (!lsb.moveIntoPlace(error) || !msb.moveIntoPlace(error)) return false;
  lsb.commit();
  msb.commit();
  return true;
}

int runHex55(std::span<const char* const> args) {
  if (args.size() == 1 && std::strcmp(args[0], "--version") == 0) {
    std::printf("hex55 version %s\n", QUORVEL_VERSION);
    return kExitSuccess;
  }
  if (args.size() == 1 && std::strcmp(args[0], "--help") == 0) {
    std::fputs(usageText(), stdout);
    return kExitSuccess;
  }
  const std::optional<CommandLine> commandLine = parseCommandLine(args);
  if (!commandLine) {
    std::fputs(usageText(), stderr);
    return kExitUsage;
  }
  std::string error;
  if (!convert(*commandLine, error)) {
    // One line, whatever a path or a system message holds.
    for (char& c : error) {
      if (c == '\r' || c == '\n') c = ' ';
    }
    std::fprintf(stderr, "hex55: %s\n", error.c_str());
    return kExitFailure;
  }
  return kExitSuccess;
}

}  // namespace quorvel::hex55
