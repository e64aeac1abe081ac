#include "tests/support/scratch_dir.h"

#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace quorvel::testing {
namespace fs = std::filesystem;
namespace {

constexpr auto kPollStep = std::chrono::milliseconds(10);
constexpr int kNameTries = 100;

// A short name: scratch paths end up in port names and command lines.
std::string randomName() {
  static std::mt19937 generator{std::random_device{}()};
  char name[32];
  std::snprintf(name, sizeof name, "quorvel-%08x", static_cast<unsigned>(generator()));
  return name;
}

}  // namespace

ScratchDir::ScratchDir() {
  std::error_code error;
  const fs::path temp = fs::temp_directory_path(error);
  for (int i = 0; i < kNameTries && !error; ++i) {
    fs::path candidate = temp / randomName();
    if (fs::create_directory(candidate, error)) {  // false when it exists already
      path_ = std::move(candidate);
      return;
    }
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

void ScratchDirTest::SetUp() {
  previous_ = fs::current_path();
  dir_.emplace();
  ASSERT_FALSE(dir_->path().empty()) << "no scratch directory";
  fs::current_path(dir_->path());
}

void ScratchDirTest::TearDown() {
  fs::current_path(previous_);
  dir_.reset();
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const fs::path& path, std::string_view content, bool executable) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out.good()) ADD_FAILURE() << "cannot write " << path.string();
  }
  if (executable) {
    fs::permissions(path, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add);
  }
}

bool waitForText(const fs::path& path, const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (readFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(kPollStep);
  }
  return false;
}

}  // namespace quorvel::testing
