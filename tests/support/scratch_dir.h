#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Scratch directories and the files tests put in them, on every platform.
namespace quorvel::testing {

// A fresh empty directory under the system's temporary folder, removed with its content.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Empty when no directory could be made.
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  std::string file(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Runs each test in a fresh empty working directory, for code that finds and creates its
// files relative to it; the previous working directory is restored afterwards.
class ScratchDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  static bool exists(const std::string& name) { return std::filesystem::exists(name); }

 private:
  std::filesystem::path previous_;
  std::optional<ScratchDir> dir_;
};

// The whole file, empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
// Replaces the file's content; fails the current test when it cannot be written.
void writeFile(const std::filesystem::path& path, std::string_view content,
               bool executable = false);

// Polls until `path` holds `text` or `timeout` passes.
bool waitForText(const std::filesystem::path& path, const std::string& text,
                 std::chrono::milliseconds timeout);

}  // namespace quorvel::testing
