// The download engine against the simulated instrument: host turnaround per sector, CPU
// time while the protocol waits, and peak resident memory with a large image.
//   bench_transfer [--sim PATH] [--words N] [--skip-waits] [--keep-dir] [--sim-arg ARG]...
// PATH defaults to tools/quorvel-sim/quorvel-sim beside this build's bench/ directory.
// Prints one result line per measure.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/downloader.h"
#include "image/image_conversion.h"
#include "image/sector_reader.h"
#include "platform/timing.h"
#include "tests/support/simulator_process.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using namespace quorvel;

constexpr std::uint32_t kTurnaroundSectorWords = 4096;
constexpr std::uint32_t kTurnaroundSectors = 48;
constexpr std::uint64_t kDefaultLargeImageWords = 8ULL * 1024 * 1024;
constexpr std::uint32_t kLargeSectorWords = kMaxSectorDataWords;
constexpr std::uint32_t kWaitsSectorWords = 64;
constexpr std::uint32_t kBytesPerLine = 16;
constexpr std::uint32_t kFirstAddress = 0x4000;
constexpr std::uint32_t kTimingDivisorForBulk = 10;  // answer reads stay longer than the gap
constexpr double kBitsPerLineByte = 10.0;            // start, 8 data, stop
constexpr double kTargetShareOfWireTime = 0.001;
// The simulator ends a frame after this much quiet; generous, so that a busy machine
// pausing the host in mid-frame does not cut a frame in two.
constexpr const char* kFrameGapMs = "50";
constexpr const char* kLinkName = "./tty";  // fits the downloader's six-character port name

FILE* gResults = stdout;

struct Options {
  std::string simPath;
  std::uint64_t largeWords = kDefaultLargeImageWords;
  bool skipWaits = false;
  bool keepDir = false;  // leave the working directory (images, simulator statistics)
  std::vector<std::string> simArgs = {"--frame-gap-ms", kFrameGapMs};  // for every run
};

class NullTarget : public MessageTarget {
 public:
  void post(unsigned, std::uintptr_t wParam, std::intptr_t) override { last = wParam; }
  std::uintptr_t last = 0;
};

// Writes the two files the converter would leave (as image.lsb / image.msb) and a fake
// converter that copies them into place.
void writeImage(std::uint64_t words, std::uint32_t sectorWords) {
  std::ofstream lsb("image.lsb"), msb("image.msb");
  char text[32];
  for (std::uint64_t i = 0; i < words; ++i) {
    if (i % sectorWords == 0) {
      std::snprintf(text, sizeof text, "$A%llX,\n",
                    static_cast<unsigned long long>(kFirstAddress + i));
      lsb << text;
      msb << text;
    }
    const auto word = static_cast<std::uint16_t>(i == 0 ? 0x0102 : i * 2654435761u >> 16);
    const char separator = (i % kBytesPerLine == kBytesPerLine - 1) ? '\n' : ' ';
    std::snprintf(text, sizeof text, "%02X%c", word & 0xFF, separator);
    lsb << text;
    std::snprintf(text, sizeof text, "%02X%c", word >> 8, separator);
    msb << text;
  }
  std::ofstream(converterFileName())
      << "#!/bin/sh\ncp image.lsb " << kLsbFileName << "; cp image.msb " << kMsbFileName << "\n";
  fs::permissions(converterFileName(), fs::perms::owner_all);
}

double cpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

long maxRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

struct RunOutcome {
  bool ok = false;
  std::int32_t result = -1;
  double wallMs = 0;
  double cpuMs = 0;
  int simExit = -1;
};

// One complete download against a fresh simulator.
RunOutcome download(const Options& options, std::vector<std::string> simArgs) {
  simArgs.insert(simArgs.begin(), {"--link", kLinkName});
  simArgs.insert(simArgs.end(), options.simArgs.begin(), options.simArgs.end());
  RunOutcome outcome;
  testing::SimulatorProcess sim(options.simPath, simArgs);
  if (!sim.ready()) {
    std::fprintf(stderr, "bench_transfer: cannot start %s\n", options.simPath.c_str());
    return outcome;
  }
  Downloader downloader;
  downloader.setPortName(kLinkName);
  NullTarget target;
  const auto wallStart = Clock::now();
  const double cpuStart = cpuMs();
  outcome.ok = downloader.runDownload(target, WM_DOWNLOAD_PROGRESS);
  outcome.cpuMs = cpuMs() - cpuStart;
  outcome.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - wallStart).count();
  outcome.result = downloader.result();
  // Without "GO" the simulator would wait for its own time-out.
  outcome.simExit = outcome.ok ? sim.waitExit() : sim.terminate();
  return outcome;
}

// The simulator's ack_to_first_byte_us column: from its answer leaving to our next frame.
// Only frames of `frameWords` words count ("GO" is no frame).
std::vector<double> readTurnarounds(const std::string& csvPath, std::uint32_t frameWords) {
  std::ifstream csv(csvPath);
  std::string line;
  std::getline(csv, line);  // header
  std::vector<double> samples;
  while (std::getline(csv, line)) {
    std::stringstream fields(line);
    std::vector<std::string> columns;
    for (std::string field; std::getline(fields, field, ',');) columns.push_back(field);
    if (columns.size() >= 5 && std::stoul(columns[2]) == 2 * frameWords) {
      samples.push_back(std::stod(columns[4]));
    }
  }
  return samples;
}

double percentile(std::vector<double> samples, double share) {
  std::sort(samples.begin(), samples.end());
  const auto index = static_cast<std::size_t>(share * static_cast<double>(samples.size() - 1));
  return samples[index];
}

void benchLargeImageMemory(const Options& options) {
  writeImage(options.largeWords, kLargeSectorWords);
  const long rssBefore = maxRssKiB();
  ScopedTimingScale fast(kTimingDivisorForBulk);
  const RunOutcome run = download(options, {});
  std::fprintf(
      gResults,
      "large image: %llu words (LSB.tmp %.1f MB), ok=%d result=%d simulator exit %d, %.0f ms; "
      "peak RSS %ld KiB (%ld KiB before the run; target 8192 KiB)\n",
      static_cast<unsigned long long>(options.largeWords),
      static_cast<double>(fs::file_size("image.lsb")) / 1e6, run.ok, run.result, run.simExit,
      run.wallMs, maxRssKiB(), rssBefore);
}

void benchTurnaround(const Options& options) {
  writeImage(std::uint64_t{kTurnaroundSectorWords} * kTurnaroundSectors, kTurnaroundSectorWords);
  // Real timing: the pauses do not count, and every answer ends its read at once.
  const RunOutcome run = download(options, {"--stats", "stats.csv"});
  const std::vector<double> samples = readTurnarounds("stats.csv", kTurnaroundSectorWords + 5);
  if (samples.empty()) {
    std::fprintf(gResults, "turnaround: no samples (ok=%d, simulator exit %d)\n", run.ok,
                 run.simExit);
    return;
  }
  const double frameBytes = 2.0 * (kTurnaroundSectorWords + 5);
  const double wireUs = frameBytes * kBitsPerLineByte / kTransferBaud * 1e6;
  const double targetUs = wireUs * kTargetShareOfWireTime;
  std::fprintf(
      gResults,
      "turnaround (answer leaving the instrument to the next frame's first byte), %zu frames of "
      "%u words: median %.0f us, p90 %.0f us, max %.0f us, %zu over the target of %.0f us "
      "(0.1 %% of %.0f ms wire time)\n",
      samples.size(), kTurnaroundSectorWords + 5, percentile(samples, 0.5),
      percentile(samples, 0.9), percentile(samples, 1.0),
      static_cast<std::size_t>(
          std::count_if(samples.begin(), samples.end(), [&](double us) { return us > targetUs; })),
      targetUs, wireUs / 1e3);
}

// The host's own work between an answer and the next frame is mostly building that frame;
// timed here without the line, so that a loaded machine's scheduling does not hide it.
void benchFrameBuilding() {
  SectorReader reader;
  if (!reader.open("image.msb", "image.lsb")) return;
  reader.measureLsbLength();
  reader.readCompatibilityWord();
  auto frame = std::make_unique<std::uint16_t[]>(kFrameBufferWords);
  std::uint32_t words = 0;
  std::uint32_t sectors = 0;
  const auto start = Clock::now();
  while (reader.readSector({frame.get(), kFrameBufferWords}, words)) ++sectors;
  const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  std::fprintf(gResults, "frame building: %.0f us per %u-word sector (%u sectors)\n", us / sectors,
               kTurnaroundSectorWords, sectors);
}

void benchCpuWhileWaiting(const Options& options) {
  writeImage(kWaitsSectorWords * 2, kWaitsSectorWords);
  // Real timing: three unanswered Modbus reads, the pauses, ten empty answer reads of one
  // sector and the retry pause.
  const RunOutcome run = download(options, {"--silent-modbus", "--silent-sector", "1"});
  std::fprintf(
      gResults,
      "waits: ok=%d, %.0f ms wall, %.1f ms CPU in this process (%.3f %% of the wall time)\n",
      run.ok, run.wallMs, run.cpuMs, 100.0 * run.cpuMs / run.wallMs);
}

std::string defaultSimPath() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return (self.parent_path().parent_path() / "tools/quorvel-sim/quorvel-sim").string();
}

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  options.simPath = defaultSimPath();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--sim" && i + 1 < argc) {
      options.simPath = fs::absolute(argv[++i]).string();
    } else if (arg == "--words" && i + 1 < argc) {
      options.largeWords = std::stoull(argv[++i]);
    } else if (arg == "--skip-waits") {
      options.skipWaits = true;
    } else if (arg == "--sim-arg" && i + 1 < argc) {
      options.simArgs.push_back(argv[++i]);
    } else if (arg == "--keep-dir") {
      options.keepDir = true;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = parseOptions(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "usage: bench_transfer [--sim PATH] [--words N] [--skip-waits] [--keep-dir] "
                 "[--sim-arg ARG]...\n");
    return 2;
  }
  char pattern[] = "/tmp/bench-transfer-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const fs::path previous = fs::current_path();
  fs::current_path(pattern);
  // The engine traces to standard output; the results go to the original one.
  gResults = fdopen(dup(STDOUT_FILENO), "w");
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, STDOUT_FILENO);
  close(devNull);
  benchLargeImageMemory(*options);
  benchTurnaround(*options);
  benchFrameBuilding();  // on the turnaround's image
  if (!options->skipWaits) benchCpuWhileWaiting(*options);
  std::fclose(gResults);
  fs::current_path(previous);
  if (options->keepDir) {
    std::fprintf(stderr, "bench_transfer: kept %s\n", pattern);
  } else {
    fs::remove_all(pattern);
  }
  return 0;
}
