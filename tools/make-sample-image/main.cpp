#include <cstdio>
#include <memory>
#include <span>
#include <string>

#include "tools/make-sample-image/sample_image.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

bool writeFile(const std::string& path, const std::string& text) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  const bool closed = std::fclose(file.release()) == 0;
  if (written && closed) return true;
  std::remove(path.c_str());  // no truncated image left behind
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::span<const char* const> args(argv, static_cast<std::size_t>(argc));
  const auto options = quorvel::sample::parseSampleOptions(args.subspan(argc > 0 ? 1 : 0));
  if (!options) {
    std::fputs(quorvel::sample::sampleUsageText(), stderr);
    return 2;
  }
  const auto runs = quorvel::sample::makeSampleImage(*options);
  if (!writeFile(options->output, quorvel::sample::toIntelHex(runs))) {
    std::fprintf(stderr, "make-sample-image: cannot write '%s'\n", options->output.c_str());
    return 1;
  }
  std::printf("%s: %u words, compatibility %u.%u\n", options->output.c_str(), options->words,
              options->compat >> 8, options->compat & 0xFF);
  return 0;
}
