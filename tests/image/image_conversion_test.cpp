#include "image/image_conversion.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/image/fake_converter.h"
#include "tests/support/process_state.h"
#include "tests/support/scratch_dir.h"

namespace quorvel {
namespace {

using testing::readFile;
using testing::writeFile;

class ImageConversionTest : public testing::ScratchDirTest {
 protected:
  // Runs the fake converter with `marker`: the helper it starts must have ended.
  void expectHelperEnded(const char* marker) {
    SCOPED_TRACE(marker);
    writeFile(marker, "");
    EXPECT_TRUE(runConverter());
    const long helper = std::stol(readFile("helper"));
    ASSERT_GT(helper, 0);
    if (!testing::processEnded(helper)) {
      ADD_FAILURE() << "the helper still runs";
      testing::killProcess(helper);  // it would hold the test's output open
    }
    std::filesystem::remove(marker);
  }
};

std::string missingMessage(const std::string& file) {
  return "Required file " + file + " not found !\nPlease copy it in the same directory than " +
         programFileName();
}

TEST_F(ImageConversionTest, RunsTheConverterWithItsCommandLineAndWaits) {
  testing::writeFakeConverter();
  EXPECT_TRUE(runConverter());
  // Both outputs exist as soon as runConverter returns, since it waited.
  EXPECT_EQ(readFile("LSB.tmp").substr(0, 1), "L");
  EXPECT_EQ(readFile("MSB.tmp").substr(0, 1), "M");
  std::string args = readFile("args.txt");
  args.erase(args.find_last_not_of(" \r\n") + 1);
  EXPECT_EQ(args, "-a quorvel.out -o LSB.tmp -o MSB.tmp");
}

// The command line converts in a directory of its own with a converter named by its path,
// started directly; nothing lands in the working directory.
TEST_F(ImageConversionTest, ConvertsInAGivenDirectoryWithAConverterGivenByPath) {
  std::filesystem::create_directory("private");
  ConversionSetup setup{std::filesystem::absolute("private").string(),
                        testing::kFakeConverterPath.string()};
  writeFile("private/LSB.tmp", "stale");
  EXPECT_TRUE(runConverter(setup));
  EXPECT_EQ(readFile("private/LSB.tmp"), "L");
  EXPECT_EQ(readFile("private/MSB.tmp"), "M");
  std::string args = readFile("private/args.txt");
  args.erase(args.find_last_not_of(" \r\n") + 1);
  EXPECT_EQ(args, "-a quorvel.out -o LSB.tmp -o MSB.tmp");
  EXPECT_FALSE(exists("LSB.tmp") || exists("MSB.tmp") || exists("args.txt"));
  EXPECT_TRUE(removeTemporaryFiles(setup.directory));
  EXPECT_FALSE(exists("private/LSB.tmp") || exists("private/MSB.tmp"));
  setup.converter += ".missing";
  EXPECT_FALSE(runConverter(setup));
}

// A helper that the converter started and left running is ended with it, also one that left
// the converter's process group, and on Windows also when the program runs inside a job.
TEST_F(ImageConversionTest, NothingTheConverterStartedOutlivesIt) {
  testing::writeFakeConverter();
  expectHelperEnded("linger");
  expectHelperEnded("linger-apart");
  if (testing::enterJobOfItsOwn()) expectHelperEnded("linger");
}

TEST_F(ImageConversionTest, MissingConverterLeavesNoTemporaryFile) {
  EXPECT_FALSE(runConverter());
  EXPECT_FALSE(exists("LSB.tmp"));
  EXPECT_FALSE(exists("MSB.tmp"));
}

// Old files that cannot be deleted stop the conversion before it starts: whatever the
// converter then wrote could not be told from them. An empty directory goes like a file.
TEST_F(ImageConversionTest, UndeletableOldFilesStopTheConversion) {
  testing::writeFakeConverter();
  std::filesystem::create_directories("LSB.tmp/inside");
  std::filesystem::create_directory("MSB.tmp");
  EXPECT_FALSE(runConverter());
  EXPECT_FALSE(exists("args.txt")) << "the converter ran over files it cannot replace";
  EXPECT_FALSE(exists("MSB.tmp"));
}

TEST_F(ImageConversionTest, RemovesBothTemporaryFilesAndIgnoresAbsentOnes) {
  writeFile("LSB.tmp", "x");
  writeFile("MSB.tmp", "y");
  writeFile("quorvel.out", "z");
  EXPECT_TRUE(removeTemporaryFiles());
  EXPECT_FALSE(exists("LSB.tmp"));
  EXPECT_FALSE(exists("MSB.tmp"));
  EXPECT_TRUE(exists("quorvel.out"));
  writeFile("MSB.tmp", "y");
  EXPECT_TRUE(removeTemporaryFiles());  // LSB.tmp is absent: no harm
  EXPECT_FALSE(exists("MSB.tmp"));
}

struct PresenceCase {
  const char* name;
  bool image;
  bool converter;
  const char* missingFile;  // empty when the check passes
};

class RequiredFilesTest : public ImageConversionTest,
                          public ::testing::WithParamInterface<PresenceCase> {};

TEST_P(RequiredFilesTest, ReportsTheFirstMissingFile) {
  const PresenceCase& c = GetParam();
  if (c.image) writeFile(kImageFileName, "image");
  if (c.converter) writeFile(converterFileName(), "converter");
  RequiredFileCheck check = checkRequiredFiles();
  std::string expectedMissing = c.missingFile;
  if (expectedMissing == "converter") expectedMissing = converterFileName();
  EXPECT_EQ(check.ok, expectedMissing.empty());
  EXPECT_EQ(check.missingFile, expectedMissing);
  EXPECT_EQ(check.message, expectedMissing.empty() ? "" : missingMessage(expectedMissing));
}

INSTANTIATE_TEST_SUITE_P(
    Presence, RequiredFilesTest,
    ::testing::Values(PresenceCase{"Neither", false, false, "quorvel.out"},
                      PresenceCase{"ConverterOnly", false, true, "quorvel.out"},
                      PresenceCase{"ImageOnly", true, false, "converter"},
                      PresenceCase{"Both", true, true, ""}),
    [](const ::testing::TestParamInfo<PresenceCase>& param) { return param.param.name; });

TEST_F(ImageConversionTest, DirectoryNamedLikeTheImageCounts) {
  std::filesystem::create_directory(kImageFileName);
  writeFile(converterFileName(), "converter");
  EXPECT_TRUE(checkRequiredFiles().ok);
}

}  // namespace
}  // namespace quorvel
