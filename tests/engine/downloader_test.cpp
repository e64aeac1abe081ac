#include <gtest/gtest.h>

#include "serial/port_reservation.h"
#include "tests/engine/downloader_fixture.h"

namespace quorvel::testing {
namespace {

TEST_F(DownloaderTest, SendsEverySectorThenGoAndStartsAgainOnTheNextRun) {
  writeConvertedImage(sectors);
  construct();
  ASSERT_EQ(downloader->result(), Success);
  EXPECT_EQ(downloader->compatibilityWord(), kCompatibility);
  for (int runNumber = 0; runNumber < 2; ++runNumber) {
    EXPECT_TRUE(run());
    EXPECT_EQ(downloader->result(), Success);
    EXPECT_EQ(units, expectedUnits(3, true));
  }
  EXPECT_NE(traces.find("Sending sector number 2, try 1 (305 words)\n"), std::string::npos);
  const std::vector<unsigned> p = target.percentages();
  ASSERT_EQ(p.size(), 8u);
  EXPECT_TRUE(p[0] < p[1] && p[1] < p[2] && p[2] < 100 && p[3] == 100) << p[2];
  EXPECT_TRUE(std::equal(p.begin(), p.begin() + 4, p.begin() + 4));
}

TEST_F(DownloaderTest, SectorAcknowledgedAtTheSecondTry) {
  writeConvertedImage(sectors);
  construct();
  EXPECT_TRUE(run([](std::size_t sector, int tryNumber) {
    return sector == 1 && tryNumber == 1 ? "BX" : "GX";
  }));
  EXPECT_NE(traces.find("Sending sector number 2, try 1 (305 words)\n"
                        "ERROR : The sector has not been correctly received by the remote device\n"
                        "Sending sector number 2, try 2 (305 words)\n"),
            std::string::npos);
  EXPECT_EQ(target.percentages().size(), 4u);
}

TEST_F(DownloaderTest, ThreeFailedTriesEndTheTransferWithoutGo) {
  writeConvertedImage(sectors);
  construct();
  EXPECT_FALSE(run([](std::size_t sector, int) { return sector == 1 ? "BX" : "GX"; }));
  EXPECT_EQ(downloader->result(), TransferFailed);
  std::vector<std::string> expected = expectedUnits(2, false);
  expected.insert(expected.end(), 2, frameOnLine(sectors[1]));
  EXPECT_EQ(units, expected);
  EXPECT_EQ(target.percentages().size(), 1u);
  EXPECT_NE(traces.find("Sending sector number 2, try 3 (305 words)\n"), std::string::npos);
  EXPECT_TRUE(traces.ends_with("Download failed : max number of tries reached\n"));
}

TEST_F(DownloaderTest, CancelWhileWaitingForAnAnswer) {
  writeConvertedImage(sectors);
  construct();
  EXPECT_FALSE(run([this](std::size_t sector, int) {
    if (sector == 0) return "GX";
    downloader->cancelEvent().signal();  // from the instrument's thread
    return "";
  }));
  EXPECT_EQ(downloader->result(), Cancelled);
  EXPECT_EQ(downloader->resultMessage(), "Download canceled by user.");
  EXPECT_EQ(units, expectedUnits(2, false));
  EXPECT_EQ(target.percentages().size(), 1u);
}

// A cancel during the loader-mode entry is honoured before anything more is sent: no
// download order once it has come, and never a sector frame.
TEST_F(DownloaderTest, CancelBeforeTheTransferSendsNoFrame) {
  struct Case {
    const char* name;
    const char* cancelAt;  // the unit whose arrival cancels; nullptr: before the run
    std::size_t unitsSent;
  };
  const Case cases[] = {{"before the run", nullptr, 0},
                        {"during the register read", ":0103", 1},
                        {"in the pause after the order", ":0106", 2}};
  writeConvertedImage(sectors);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    construct();
    observeUnit = [this, &c](const std::string& unit) {
      if (c.cancelAt != nullptr && unit.starts_with(c.cancelAt)) downloader->cancelEvent().signal();
    };
    if (c.cancelAt == nullptr) downloader->cancelEvent().signal();
    EXPECT_FALSE(run());
    EXPECT_EQ(downloader->result(), Cancelled);
    const std::vector<std::string> all = expectedUnits(0, false);
    EXPECT_EQ(units, std::vector<std::string>(all.begin(), all.begin() + c.unitsSent));
    EXPECT_TRUE(target.percentages().empty());
    EXPECT_EQ(downloader->reader().position(), 0u);
  }
}

TEST_F(DownloaderTest, MissingOrFaultyFilesRefuseEveryRun) {
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::uint16_t compatibility;
    const char* trace;
  };
  const Case cases[] = {
      {"no files", [] {}, 0xFFFF, ""},
      {"one file", [] { std::ofstream(kMsbFileName) << "$A0,00\n"; }, 0xFFFF, ""},
      {"out of step",
       [] {
         writeConvertedImage(kImage);
         fs::resize_file("image.msb", fs::file_size("image.msb") - 4);
       },
       kCompatibility, "Image check failed: "},
      {"no data", [] { writeConvertedImage({}, "no sectors\n"); }, 0xFFFF, "Image check failed: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare();
    construct();
    EXPECT_EQ(downloader->result(), FilesCorrupted);
    EXPECT_EQ(downloader->compatibilityWord(), c.compatibility);
    EXPECT_TRUE(traces.starts_with(c.trace)) << traces;
    EXPECT_FALSE(run());
    EXPECT_TRUE(units.empty());
    EXPECT_TRUE(target.percentages().empty());
    downloader.reset();
    EXPECT_FALSE(fs::exists(kLsbFileName) || fs::exists(kMsbFileName));
    fs::remove("image.lsb");
    fs::remove("image.msb");
  }
}

// A port that cannot be opened, or that another upgrade holds (here a probe of this process):
// nothing is sent; the port's next run starts from the first sector.
TEST_F(DownloaderTest, PortThatCannotBeHadThenARunFromTheFirstSector) {
  writeConvertedImage(sectors);
  construct("./none");
  EXPECT_FALSE(run());
  EXPECT_EQ(downloader->result(), PortNotOpened);
  downloader->setPortName("./tty");
  {
    PortReservation probe;
    ASSERT_EQ(probe.reserve(pty.path, PortReservation::Use::Probe), ReservationStatus::Granted);
    EXPECT_FALSE(run());
    EXPECT_EQ(downloader->result(), PortNotOpened);
    EXPECT_TRUE(units.empty());
    EXPECT_EQ(traces, "Serial port ./tty is in use by another upgrade\n");
  }
  EXPECT_TRUE(run());
  EXPECT_EQ(units, expectedUnits(3, true));
}

TEST_F(DownloaderTest, ImageCutShortDuringTheRunGetsNoGo) {
  writeConvertedImage(sectors);
  construct();
  ASSERT_EQ(downloader->result(), Success);
  // Both files lose their last sector after the check, as after a failing disk.
  const auto cut = fs::file_size(kLsbFileName) - 12;
  fs::resize_file(kLsbFileName, cut);
  fs::resize_file(kMsbFileName, cut);
  sectors.pop_back();
  EXPECT_FALSE(run());
  EXPECT_EQ(downloader->result(), FilesCorrupted);
  EXPECT_EQ(units, expectedUnits(2, false));
  EXPECT_NE(traces.find("Image read stopped at byte"), std::string::npos);
}

TEST_F(DownloaderTest, PortNameKeepsDevicePathsAndStaysTerminated) {
  writeConvertedImage(sectors);
  construct("/dev/serial/by-id/usb-optical-link-if00-port0");
  EXPECT_STREQ(downloader->portName(), "/dev/serial/by-id/usb-optical-link-if00-port0");
  const std::string tooLong(kPortNameSize + 10, 'x');
  downloader->setPortName(tooLong.c_str());
  EXPECT_EQ(std::string(downloader->portName()), tooLong.substr(0, kPortNameSize - 1));
}

}  // namespace
}  // namespace quorvel::testing
