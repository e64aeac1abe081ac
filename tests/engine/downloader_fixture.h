#pragma once

// A downloader in a temporary working directory, with a fake converter that copies a
// prepared image into place, in front of a scripted instrument on a pseudo-terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/downloader.h"
#include "engine/sector_transfer.h"
#include "image/image_conversion.h"
#include "platform/timing.h"
#include "tests/support/pty_peer.h"

namespace quorvel::testing {

namespace fs = std::filesystem;

struct Sector {
  std::uint32_t address;
  std::vector<std::uint16_t> words;
};

inline constexpr std::uint16_t kCompatibility = 0x0102;
inline const std::vector<Sector> kImage = {
    {0x12000, {kCompatibility, 0x1234, 0xABCD}},
    {0x20000, std::vector<std::uint16_t>(300, 0xBEEF)},
    {0x0000A0FF, {0x0001}},
};

// The frame of `sector` as it goes on the line.
inline std::string frameOnLine(const Sector& sector) {
  std::vector<std::uint16_t> frame = {static_cast<std::uint16_t>(sector.address >> 16),
                                      static_cast<std::uint16_t>(sector.address & 0xFFFF)};
  std::uint32_t sum = 0;
  for (std::uint16_t word : sector.words) sum += word;
  frame.insert(frame.end(), sector.words.begin(), sector.words.end());
  frame.insert(frame.end(), {static_cast<std::uint16_t>(sum & 0xFFFF),
                             static_cast<std::uint16_t>(sum >> 16), kCompatibility});
  std::string bytes(2 * frame.size(), '\0');
  serializeFrame(frame.data(), static_cast<std::uint32_t>(frame.size()),
                 reinterpret_cast<std::uint8_t*>(bytes.data()));
  return bytes;
}

// What the converter leaves: one file of low bytes, one of high bytes, same layout.
inline void writeConvertedImage(const std::vector<Sector>& sectors,
                                const std::string& preamble = "") {
  std::ofstream lsb("image.lsb"), msb("image.msb");
  lsb << preamble;
  msb << preamble;
  char text[16];
  for (const Sector& sector : sectors) {
    std::snprintf(text, sizeof text, "$A%X,\n", sector.address);
    lsb << text;
    msb << text;
    for (std::uint16_t word : sector.words) {
      std::snprintf(text, sizeof text, "%02X ", word & 0xFF);
      lsb << text;
      std::snprintf(text, sizeof text, "%02X ", word >> 8);
      msb << text;
    }
    lsb << '\n';
    msb << '\n';
  }
}

class RecordingTarget : public MessageTarget {
 public:
  void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
    EXPECT_EQ(message, WM_DOWNLOAD_PROGRESS);
    EXPECT_EQ(lParam, 0);
    std::lock_guard lock(mutex_);
    percentages_.push_back(static_cast<unsigned>(wParam));
  }
  std::vector<unsigned> percentages() const {
    std::lock_guard lock(mutex_);
    return percentages_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<unsigned> percentages_;
};

// The instrument in front of the downloader: answers the Modbus read with register 0x0100,
// then each frame as `answer(sector index, try)` says; knows the frame sizes of the image.
class Instrument {
 public:
  using Answer = std::function<std::string(std::size_t sector, int tryNumber)>;
  using Observer = std::function<void(const std::string& unit)>;  // sees each unit first
  Instrument(int fd, const std::vector<Sector>& sectors, Answer answer, Observer observe = {})
      : frameBytes_(frameSizes(sectors)),
        answer_(std::move(answer)),
        observe_(std::move(observe)),
        peer_(
            fd, [this](const std::string& p) { return cut(p); },
            [this](const std::string& unit) { return respond(unit); }) {}
  std::vector<std::string> units() const { return peer_.units(); }
  void awaitQuiet() const { peer_.awaitQuiet(std::chrono::milliseconds(30)); }

 private:
  static std::vector<std::size_t> frameSizes(const std::vector<Sector>& sectors) {
    std::vector<std::size_t> sizes;
    for (const Sector& s : sectors) sizes.push_back(2 * (s.words.size() + 5));
    return sizes;
  }
  std::size_t cut(const std::string& pending) {
    if (pending.empty()) return 0;
    if (pending[0] == ':') return cutAtLineFeed(pending);
    std::size_t size = next_ < frameBytes_.size() ? frameBytes_[next_] : 2;  // or "GO"
    return pending.size() >= size ? size : 0;
  }
  std::string respond(const std::string& unit) {
    if (observe_) observe_(unit);
    if (unit.starts_with(":0103")) return ":0103020100F9\r\n";
    if (unit[0] == ':' || next_ >= frameBytes_.size()) return "";
    std::string reply = answer_(next_, ++tries_);
    if (reply.starts_with("G")) ++next_, tries_ = 0;
    return reply;
  }

  std::vector<std::size_t> frameBytes_;
  Answer answer_;
  Observer observe_;
  std::size_t next_ = 0;
  int tries_ = 0;
  ScriptedPeer peer_;  // last: its thread uses everything above
};

inline std::string acknowledgeAll(std::size_t, int) {
  return "GX";
}

inline const std::string kModbusRead = ":0103001C0001DF\r\n";
inline const std::string kModbusOrder = ":010601010001F6\r\n";

class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorvel-engine-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    previous = fs::current_path();
    fs::current_path(dir);
    fs::create_symlink(pty.path, "tty");
    std::ofstream(converterFileName())
        << "#!/bin/sh\ncp image.lsb " << kLsbFileName << "; cp image.msb " << kMsbFileName << "\n";
    fs::permissions(converterFileName(), fs::perms::owner_all);
  }
  void TearDown() override {
    downloader.reset();
    fs::current_path(previous);
    fs::remove_all(dir);
  }
  void construct(const char* port = "./tty") {
    ::testing::internal::CaptureStdout();
    downloader.emplace();
    downloader->setPortName(port);
    traces = ::testing::internal::GetCapturedStdout();
  }
  // One run against an instrument answering as `answer` says; fills units and traces.
  bool run(const Instrument::Answer& answer = acknowledgeAll) {
    Instrument instrument(pty.master, sectors, answer, observeUnit);
    ::testing::internal::CaptureStdout();
    bool succeeded = downloader->runDownload(target, WM_DOWNLOAD_PROGRESS);
    traces = ::testing::internal::GetCapturedStdout();
    instrument.awaitQuiet();  // a frame after a cancel and "GO" have no answer to wait for
    units = instrument.units();
    return succeeded;
  }
  std::vector<std::string> expectedUnits(std::size_t sectorCount, bool withGo) const {
    std::vector<std::string> expected = {kModbusRead, kModbusOrder};
    for (std::size_t i = 0; i < sectorCount; ++i) expected.push_back(frameOnLine(sectors[i]));
    if (withGo) expected.push_back("GO");
    return expected;
  }

  std::optional<ScopedTimingScale> fast{std::in_place, 50};  // reset: the real timing
  PtyPair pty;
  fs::path dir, previous;
  std::vector<Sector> sectors = kImage;
  std::optional<Downloader> downloader;
  RecordingTarget target;
  std::string traces;
  std::vector<std::string> units;
  Instrument::Observer observeUnit;
};

}  // namespace quorvel::testing
