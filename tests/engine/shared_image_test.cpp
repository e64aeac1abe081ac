// Downloaders over one image converted in a directory of its own: the way the command line
// upgrades several instruments at once.
#include <gtest/gtest.h>

#include <thread>

#include "tests/engine/downloader_fixture.h"

namespace quorvel::testing {
namespace {

// Records the tries and acknowledgements a run reports, in order.
class TryLog : public DownloadObserver {
 public:
  void loaderEntryStarted() override { events.push_back("entry"); }
  void sectorTry(const SectorTry& t) override {
    events.push_back("try " + std::to_string(t.sector) + "." + std::to_string(t.attempt));
  }
  void sectorAcknowledged(std::uint32_t sector) override {
    events.push_back("ack " + std::to_string(sector));
  }
  std::vector<std::string> events;
};

class SharedImageTest : public DownloaderTest {
 protected:
  // A converter outside the conversion directory that copies the prepared image there.
  ConversionSetup elsewhere() {
    fs::create_directories("conversion");
    fs::create_directories("tools");
    std::ofstream("tools/convert")
        << "#!/bin/sh\ncp '" << (dir / "image.lsb").string() << "' " << kLsbFileName << "; cp '"
        << (dir / "image.msb").string() << "' " << kMsbFileName << "\n";
    fs::permissions("tools/convert", fs::perms::owner_all);
    return {(dir / "conversion").string(), (dir / "tools/convert").string()};
  }
};

TEST_F(SharedImageTest, TwoDownloadersInParallelEachSendTheWholeImage) {
  writeConvertedImage(sectors);
  std::optional<FirmwareImage> image(std::in_place, elsewhere());
  ASSERT_TRUE(image->usable());
  EXPECT_EQ(image->compatibilityWord(), kCompatibility);
  EXPECT_EQ(image->dataWords(), 3u + 300u + 1u);
  EXPECT_EQ(image->sectorCount(), 3u);
  EXPECT_FALSE(fs::exists(kLsbFileName) || fs::exists(kMsbFileName)) << "written in the cwd";

  PtyPair secondPty;
  std::vector<std::string> unitsA, unitsB;
  TryLog triesA, triesB;
  bool succeededA = false, succeededB = false;
  {
    Downloader a(*image), b(*image);
    a.setPortName(pty.path.c_str());
    b.setPortName(secondPty.path.c_str());
    Instrument instrumentA(pty.master, sectors, acknowledgeAll);
    Instrument instrumentB(secondPty.master, sectors, [](std::size_t sector, int tryNumber) {
      return sector == 1 && tryNumber == 1 ? "BX" : "GX";
    });
    RecordingTarget targetA, targetB;
    ::testing::internal::CaptureStdout();
    std::thread runA([&] { succeededA = a.runDownload(targetA, WM_DOWNLOAD_PROGRESS, &triesA); });
    std::thread runB([&] { succeededB = b.runDownload(targetB, WM_DOWNLOAD_PROGRESS, &triesB); });
    runA.join();
    runB.join();
    ::testing::internal::GetCapturedStdout();
    instrumentA.awaitQuiet();
    instrumentB.awaitQuiet();
    unitsA = instrumentA.units();
    unitsB = instrumentB.units();
  }
  EXPECT_TRUE(succeededA);
  EXPECT_TRUE(succeededB);
  EXPECT_EQ(unitsA, expectedUnits(3, true));
  std::vector<std::string> withRetry = expectedUnits(3, true);
  withRetry.insert(withRetry.begin() + 3, frameOnLine(sectors[1]));
  EXPECT_EQ(unitsB, withRetry);
  EXPECT_EQ(triesA.events, (std::vector<std::string>{"entry", "try 1.1", "ack 1", "try 2.1",
                                                     "ack 2", "try 3.1", "ack 3"}));
  EXPECT_EQ(triesB.events, (std::vector<std::string>{"entry", "try 1.1", "ack 1", "try 2.1",
                                                     "try 2.2", "ack 2", "try 3.1", "ack 3"}));

  // The downloaders leave the files to the image, which deletes them.
  EXPECT_TRUE(fs::exists("conversion/LSB.tmp") && fs::exists("conversion/MSB.tmp"));
  image.reset();
  EXPECT_TRUE(fs::is_empty("conversion"));
}

TEST_F(SharedImageTest, AnImageThatWasNotConvertedRefusesEveryDownloader) {
  writeConvertedImage(sectors);
  ConversionSetup setup = elsewhere();
  setup.converter += ".missing";
  FirmwareImage image(setup);
  EXPECT_FALSE(image.usable());
  EXPECT_EQ(image.compatibilityWord(), kNoCompatibilityWord);
  Downloader refusing(image);
  refusing.setPortName(pty.path.c_str());
  EXPECT_EQ(refusing.result(), FilesCorrupted);
  Instrument instrument(pty.master, sectors, acknowledgeAll);
  EXPECT_FALSE(refusing.runDownload(target, WM_DOWNLOAD_PROGRESS));
  instrument.awaitQuiet();
  EXPECT_TRUE(instrument.units().empty());
}

}  // namespace
}  // namespace quorvel::testing
