#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/startup.h"
#include "image/image_conversion.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_dir.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ScratchDir;
using testing::writeFile;

// Intel HEX of four words at word address 0: the compatibility word 0x0103 first.
std::string sampleImage() {
  return ":0800000003013412CDAB000036\n"
         ":00000001FF\n";
}

enum class Converter { Absent, Real, OnlyLsb, Garbage };

std::string converterScript(Converter kind) {
  std::string script = "#!/bin/sh\necho ran >> converter.log\n";
  switch (kind) {
    case Converter::Real:
      return script + "exec '" HEX55_PATH "' \"$@\"\n";
    case Converter::OnlyLsb:
      return script + "'" HEX55_PATH "' \"$@\" && rm -f MSB.tmp\n";
    case Converter::Garbage:
      // Output cut short: the high-byte file stops after the first address.
      return script +
             "printf '\\002\\r\\n$A0000,\\r\\n03 34 \\r\\n\\003\\r\\n' > LSB.tmp\n"
             "printf '\\002\\r\\n$A0000,\\r\\n' > MSB.tmp\n";
    case Converter::Absent:
      break;
  }
  return script;
}

// Records what the sequence asked of it, and what the working directory held at that time.
class RecordingFrontEnd : public StartupFrontEnd {
 public:
  explicit RecordingFrontEnd(bool answerYes) : answerYes_(answerYes) {}

  void showSplash() override {
    events.push_back("splash");
    converterRanBeforeSplash = fs::exists("converter.log");
  }
  void showMissingFile(const RequiredFileCheck& check) override {
    events.push_back("missing: " + check.message);
  }
  bool confirmUpgrade(unsigned major, unsigned minor) override {
    events.push_back("confirm " + std::to_string(major) + "." + std::to_string(minor));
    return answerYes_;
  }
  int runUpgrade(Downloader& downloader) override {
    events.push_back("upgrade");
    resultAtUpgrade = downloader.result();
    temporaryFilesAtUpgrade = fs::exists("LSB.tmp") || fs::exists("MSB.tmp");
    return kUpgradeStatus;
  }

  static constexpr int kUpgradeStatus = 77;
  std::vector<std::string> events;
  bool converterRanBeforeSplash = false;
  bool temporaryFilesAtUpgrade = false;
  std::int32_t resultAtUpgrade = -1;

 private:
  bool answerYes_;
};

struct Scenario {
  const char* name;
  bool image;
  Converter converter;
  bool answerYes;
  std::vector<std::string> events;
  int status;
  std::int32_t resultAtUpgrade;  // -1: no upgrade
};

std::string missingMessage(const std::string& file) {
  return "missing: Required file " + file +
         " not found !\nPlease copy it in the same directory than " + programFileName();
}

class StartupSequence : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    fs::current_path(dir_.path());
  }
  void TearDown() override { fs::current_path(previous_); }

  ScratchDir dir_;
  fs::path previous_;
};

TEST_P(StartupSequence, FollowsTheOrderAndLeavesNoTemporaryFile) {
  const Scenario& s = GetParam();
  if (s.image) writeFile(kImageFileName, sampleImage());
  if (s.converter != Converter::Absent) {
    writeFile(converterFileName(), converterScript(s.converter), true);
  }
  RecordingFrontEnd frontEnd(s.answerYes);

  int status = runStartup(frontEnd);

  EXPECT_EQ(status, s.status);
  EXPECT_EQ(frontEnd.events, s.events);
  EXPECT_EQ(frontEnd.converterRanBeforeSplash, s.converter != Converter::Absent);
  EXPECT_EQ(frontEnd.resultAtUpgrade, s.resultAtUpgrade);
  if (s.resultAtUpgrade == Success) {
    EXPECT_TRUE(frontEnd.temporaryFilesAtUpgrade);
  }
  EXPECT_FALSE(fs::exists(kLsbFileName));
  EXPECT_FALSE(fs::exists(kMsbFileName));
}

const int kRun = RecordingFrontEnd::kUpgradeStatus;

INSTANTIATE_TEST_SUITE_P(
    Paths, StartupSequence,
    ::testing::Values(
        Scenario{"NothingPresent",
                 false,
                 Converter::Absent,
                 true,
                 {"splash", missingMessage("quorvel.out")},
                 kExitMissingFile,
                 -1},
        // The converter runs (and fails on the missing image) before the check reports it.
        Scenario{"ImageMissing",
                 false,
                 Converter::Real,
                 true,
                 {"splash", missingMessage("quorvel.out")},
                 kExitMissingFile,
                 -1},
        Scenario{"ConverterMissing",
                 true,
                 Converter::Absent,
                 true,
                 {"splash", missingMessage(converterFileName())},
                 kExitMissingFile,
                 -1},
        Scenario{
            "Declined", true, Converter::Real, false, {"splash", "confirm 1.3"}, kExitDeclined, -1},
        Scenario{"Confirmed",
                 true,
                 Converter::Real,
                 true,
                 {"splash", "confirm 1.3", "upgrade"},
                 kRun,
                 Success},
        Scenario{"OneFileMissing",
                 true,
                 Converter::OnlyLsb,
                 true,
                 {"splash", "confirm 255.255", "upgrade"},
                 kRun,
                 FilesCorrupted}),
    [](const ::testing::TestParamInfo<Scenario>& scenario) {
      return std::string(scenario.param.name);
    });

TEST_F(StartupSequence, GarbledConversionReachesTheUpgradeAsCorrupted) {
  writeFile(kImageFileName, sampleImage());
  writeFile(converterFileName(), converterScript(Converter::Garbage), true);
  RecordingFrontEnd frontEnd(true);
  EXPECT_EQ(runStartup(frontEnd), RecordingFrontEnd::kUpgradeStatus);
  EXPECT_EQ(frontEnd.resultAtUpgrade, FilesCorrupted);
  EXPECT_FALSE(fs::exists(kLsbFileName));
  EXPECT_FALSE(fs::exists(kMsbFileName));
}

TEST(CompatibilityMessage, PrintsMajorAndMinorInDecimal) {
  EXPECT_EQ(compatibilityMessage(1, 3),
            "You are about to upgrade your Quorvel with firmware compatibility 1.3");
  EXPECT_EQ(compatibilityMessage(10, 5),
            "You are about to upgrade your Quorvel with firmware compatibility 10.5");
  EXPECT_EQ(compatibilityMessage(255, 255),
            "You are about to upgrade your Quorvel with firmware compatibility 255.255");
}

}  // namespace
}  // namespace quorvel
