// The private directory of a run: only what the run put there is deleted, and what a killed
// run left behind is removed at the next start, with the same care.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/cli/workspace.h"
#include "tests/support/process_state.h"

namespace quorvel::cli {
namespace {

namespace fs = std::filesystem;

// A process id that no system hands out: the run that named a directory after it is gone.
constexpr long kGoneProcess = 2147483600;

std::string readAll(const fs::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void putRunFiles(const fs::path& directory) {
  fs::create_directories(directory);
  for (const std::string& name : runFileNames()) std::ofstream(directory / name) << "run";
}

// False where the system lets no link be made (Windows without the right).
bool linkTo(const fs::path& target, const fs::path& link) {
  std::error_code error;
  fs::is_directory(target) ? fs::create_directory_symlink(target, link, error)
                           : fs::create_symlink(target, link, error);
  return !error;
}

class WorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    root_ = fs::temp_directory_path() / ("quorvel-workspace-" + std::to_string(stamp));
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path privateDirectoryName(long pid, const char* unique) const {
    return root_ / (detail::kPrivateDirectoryPrefix + std::to_string(pid) + "-" + unique);
  }

  fs::path root_;
};

TEST_F(WorkspaceTest, OnlyTheFilesOfTheRunAreDeleted) {
  const fs::path outside = root_ / "outside";
  std::ofstream(outside) << "keep";
  std::string error;
  fs::path made;
  {
    PrivateDirectory directory;
    ASSERT_TRUE(directory.create(error, root_.string())) << error;
    made = directory.path();
    putRunFiles(made);
    // Where the conversion writes, a link leads out of the directory: it goes, not its target.
    fs::remove(made / "LSB.tmp");
    linkTo(outside, made / "LSB.tmp");
  }
  EXPECT_FALSE(fs::exists(made));
  EXPECT_EQ(readAll(outside), "keep");
  // Anything else in it keeps the directory, and itself.
  {
    PrivateDirectory directory;
    ASSERT_TRUE(directory.create(error, root_.string())) << error;
    made = directory.path();
    putRunFiles(made);
    std::ofstream(made / "notes.txt") << "keep";
  }
  EXPECT_EQ(readAll(made / "notes.txt"), "keep");
  for (const std::string& name : runFileNames()) EXPECT_FALSE(fs::exists(made / name)) << name;
}

TEST_F(WorkspaceTest, WhatAKilledRunLeftIsRemovedAtTheNextStart) {
  const fs::path gone = privateDirectoryName(kGoneProcess, "a1");
  const fs::path goneWithMore = privateDirectoryName(kGoneProcess, "b2");
  const fs::path running = privateDirectoryName(testing::currentProcessId(), "c3");
  const fs::path notOurs = root_ / "quorvel-upgrade-notes";
  for (const fs::path& directory : {gone, goneWithMore, running, notOurs}) putRunFiles(directory);
  std::ofstream(goneWithMore / "notes.txt") << "keep";
  // A link named like a killed run's directory is not entered.
  const fs::path elsewhere = root_ / "elsewhere";
  putRunFiles(elsewhere);
  const bool linked = linkTo(elsewhere, privateDirectoryName(kGoneProcess, "d4"));

  PrivateDirectory next;
  std::string error;
  ASSERT_TRUE(next.create(error, root_.string())) << error;
  EXPECT_FALSE(fs::exists(gone));
  EXPECT_TRUE(fs::exists(goneWithMore / "notes.txt"));
  EXPECT_FALSE(fs::exists(goneWithMore / "MSB.tmp"));
  EXPECT_TRUE(fs::exists(running / "MSB.tmp"));
  EXPECT_TRUE(fs::exists(notOurs / "MSB.tmp"));
  EXPECT_TRUE(!linked || fs::exists(elsewhere / "MSB.tmp"));
}

}  // namespace
}  // namespace quorvel::cli
