// Speed and memory of the image reader: validate() plus reading every sector of a large
// generated image, beside a plain buffered read of the same two files in the same run.
//   bench_sector_reader [--words N] [--repeat R]
// Prints one result line per measure.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "image/sector_reader.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr std::uint64_t kDefaultWords = 8ULL * 1024 * 1024;
constexpr std::uint32_t kWordsPerSector = 4096;
constexpr std::uint32_t kBytesPerLine = 16;
constexpr std::uint32_t kFirstAddress = 0x4000;
constexpr std::size_t kPlainReadChunk = 64 * 1024;
constexpr int kDefaultRepeat = 3;
constexpr double kBytesPerMB = 1e6;

// Wall time and the process's CPU time: on a loaded machine the CPU time is the steadier.
struct Timing {
  double wall = 1e9;
  double cpu = 1e9;
};

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Keeps the best of several runs of `work`.
template <typename Work>
void measure(Timing& best, Work&& work) {
  auto wallStart = Clock::now();
  double cpuStart = cpuSeconds();
  work();
  best.cpu = std::min(best.cpu, cpuSeconds() - cpuStart);
  best.wall = std::min(best.wall, std::chrono::duration<double>(Clock::now() - wallStart).count());
}

// Writes LSB.tmp and MSB.tmp in the converter's layout: one run of words from kFirstAddress,
// cut into sectors of kWordsPerSector words.
bool generateImage(const fs::path& dir, std::uint64_t words) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> lsb(std::fopen((dir / "LSB.tmp").c_str(), "wb"),
                                                      &std::fclose);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> msb(std::fopen((dir / "MSB.tmp").c_str(), "wb"),
                                                      &std::fclose);
  if (!lsb || !msb) return false;
  std::fputs("\x02\r\n", lsb.get());
  std::fputs("\x02\r\n", msb.get());
  std::uint32_t state = 0x12345678;  // xorshift: deterministic, not compressible to a pattern
  char lowText[4];
  char highText[4];
  for (std::uint64_t i = 0; i < words; ++i) {
    if (i % kWordsPerSector == 0) {
      std::fprintf(lsb.get(), "$A%04llX,\r\n", static_cast<unsigned long long>(kFirstAddress + i));
      std::fprintf(msb.get(), "$A%04llX,\r\n", static_cast<unsigned long long>(kFirstAddress + i));
    }
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    std::snprintf(lowText, sizeof lowText, "%02X ", state & 0xFFu);
    std::snprintf(highText, sizeof highText, "%02X ", (state >> 8) & 0xFFu);
    std::fputs(lowText, lsb.get());
    std::fputs(highText, msb.get());
    bool lineEnd = (i % kWordsPerSector) % kBytesPerLine == kBytesPerLine - 1 ||
                   (i + 1) % kWordsPerSector == 0 || i + 1 == words;
    if (lineEnd) {
      std::fputs("\r\n", lsb.get());
      std::fputs("\r\n", msb.get());
    }
  }
  std::fputs("\x03\r\n", lsb.get());
  std::fputs("\x03\r\n", msb.get());
  return std::ferror(lsb.get()) == 0 && std::ferror(msb.get()) == 0;
}

// The reference: both files read front to back through a buffer, every byte touched.
std::uint64_t plainRead(const fs::path& dir) {
  std::array<unsigned char, kPlainReadChunk> buffer;
  std::uint64_t sum = 0;
  for (const char* name : {"LSB.tmp", "MSB.tmp"}) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen((dir / name).c_str(), "rb"),
                                                         &std::fclose);
    if (!file) return 0;
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
      for (std::size_t i = 0; i < got; ++i) sum += buffer[i];
    }
  }
  return sum;
}

// The same files one character at a time through the C library's buffered stream.
std::uint64_t plainCharRead(const fs::path& dir) {
  std::uint64_t sum = 0;
  for (const char* name : {"LSB.tmp", "MSB.tmp"}) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen((dir / name).c_str(), "rb"),
                                                         &std::fclose);
    if (!file) return 0;
    for (int c = std::getc(file.get()); c != EOF; c = std::getc(file.get())) {
      sum += static_cast<unsigned>(c);
    }
  }
  return sum;
}

struct ReaderRun {
  bool valid = false;
  std::uint64_t lsbBytes = 0;
  std::uint64_t sectors = 0;
  std::uint64_t dataWords = 0;
};

ReaderRun readWholeImage(const fs::path& dir, std::uint16_t* frame) {
  ReaderRun run;
  quorvel::SectorReader reader;
  if (!reader.open((dir / "MSB.tmp").c_str(), (dir / "LSB.tmp").c_str())) return run;
  reader.measureLsbLength();
  reader.readCompatibilityWord();
  run.lsbBytes = reader.lsbLength();
  run.valid = reader.validate().ok();
  std::uint32_t frameWords = 0;
  std::span<std::uint16_t> buffer(frame, quorvel::kFrameBufferWords);
  while (reader.readSector(buffer, frameWords)) {
    ++run.sectors;
    run.dataWords += frameWords - 5;
  }
  reader.close();
  return run;
}

// The reader traces every sector to standard output; keep that out of the results.
class SilencedStdout {
 public:
  SilencedStdout() : saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~SilencedStdout() {
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  SilencedStdout(const SilencedStdout&) = delete;
  SilencedStdout& operator=(const SilencedStdout&) = delete;

 private:
  int saved_;
};

long peakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t words = kDefaultWords;
  int repeat = kDefaultRepeat;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--words") == 0) words = std::strtoull(argv[i + 1], nullptr, 0);
    if (std::strcmp(argv[i], "--repeat") == 0) repeat = std::max(1, std::atoi(argv[i + 1]));
  }
  fs::path dir = fs::temp_directory_path() / ("quorvel-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  if (!generateImage(dir, words)) {
    std::fprintf(stderr, "cannot write the image in %s\n", dir.c_str());
    return 1;
  }
  const double lsbMB = static_cast<double>(fs::file_size(dir / "LSB.tmp")) / kBytesPerMB;
  const double bothMB = lsbMB + static_cast<double>(fs::file_size(dir / "MSB.tmp")) / kBytesPerMB;
  std::printf(
      "image: %llu words, LSB.tmp %.1f MB, both files %.1f MB, peak RSS after generation %ld KiB\n",
      static_cast<unsigned long long>(words), lsbMB, bothMB, peakRssKiB());
  plainRead(dir);  // the page cache holds both files for every measure below

  auto frame = std::make_unique<std::uint16_t[]>(quorvel::kFrameBufferWords);
  Timing plain, character, reading;
  volatile std::uint64_t sink = 0;
  ReaderRun run;
  for (int r = 0; r < repeat; ++r) {
    measure(plain, [&] { sink = sink + plainRead(dir); });
    measure(character, [&] { sink = sink + plainCharRead(dir); });
    measure(reading, [&] {
      SilencedStdout quiet;
      run = readWholeImage(dir, frame.get());
    });
  }
  auto report = [&](const char* what, const Timing& t) {
    std::printf("%s: wall %.1f ms (%.0f MB/s of LSB.tmp), cpu %.1f ms (%.0f MB/s of LSB.tmp)\n",
                what, t.wall * 1e3, lsbMB / t.wall, t.cpu * 1e3, lsbMB / t.cpu);
  };
  report("plain buffered read (fread 64 KiB, both files)", plain);
  report("plain character read (getc, both files)", character);
  report("reader validate + every sector", reading);
  std::printf("reader result: %llu sectors, %llu words, %s\n",
              static_cast<unsigned long long>(run.sectors),
              static_cast<unsigned long long>(run.dataWords), run.valid ? "valid" : "INVALID");
  std::printf("ratio reader / plain buffered read: wall %.2f, cpu %.2f (aim <= 4)\n",
              reading.wall / plain.wall, reading.cpu / plain.cpu);
  std::printf("ratio reader / plain character read: wall %.2f, cpu %.2f\n",
              reading.wall / character.wall, reading.cpu / character.cpu);
  std::printf("peak RSS: %ld KiB\n", peakRssKiB());
  fs::remove_all(dir);
  bool complete = run.valid && run.dataWords == words;
  return complete ? 0 : 1;
}
