// The Windows programs carry what makes them well-behaved Windows programs: a manifest that
// Windows accepts (run as invoker, Windows 7 to 11, Common Controls 6, DPI awareness for the
// dialogs) and a version resource naming the program and the project's version. Reads the
// programs of this build, or those of an unpacked release in QUORVEL_PROGRAM_DIR.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "quorvel_version.h"

namespace quorvel::release {
namespace {

struct Program {
  const char* fileName;
  const char* builtPath;
  bool showsDialogs;
};

void PrintTo(const Program& program, std::ostream* out) {
  *out << program.fileName;
}

const Program kPrograms[] = {
    {"ZambrioQUORVEL.exe", ZAMBRIO_PATH, true},
    {"quorvel-upgrade.exe", QUORVEL_UPGRADE_PATH, false},
    {"hex55.exe", HEX55_PATH, false},
};

// "/work/x" -> "Z:\work\x"; Windows paths pass unchanged.
std::string windowsPath(std::string path) {
  if (!path.empty() && path.front() == '/') path = "Z:" + path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string programPath(const Program& program) {
  const char* releaseDir = std::getenv("QUORVEL_PROGRAM_DIR");
  if (releaseDir == nullptr || *releaseDir == '\0') return windowsPath(program.builtPath);
  return windowsPath(releaseDir) + "\\" + program.fileName;
}

class VersionResource {
 public:
  explicit VersionResource(const std::string& path) {
    DWORD ignored = 0;
    data_.resize(GetFileVersionInfoSizeA(path.c_str(), &ignored));
    if (data_.empty() ||
        !GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(data_.size()), data_.data())) {
      data_.clear();
    }
  }
  bool present() const { return !data_.empty(); }

  const VS_FIXEDFILEINFO* fixed() const {
    return static_cast<const VS_FIXEDFILEINFO*>(query("\\"));
  }
  // A string of the first translation the resource lists.
  std::string text(const char* name) const {
    const auto* translation = static_cast<const WORD*>(query("\\VarFileInfo\\Translation"));
    if (translation == nullptr) return {};
    char key[96];
    std::snprintf(key, sizeof key, "\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1],
                  name);
    const auto* value = static_cast<const char*>(query(key));
    return value == nullptr ? std::string() : std::string(value);
  }

 private:
  const void* query(const char* key) const {
    void* value = nullptr;
    UINT length = 0;
    auto* block = const_cast<char*>(data_.data());
    return VerQueryValueA(block, key, &value, &length) && length > 0 ? value : nullptr;
  }
  std::vector<char> data_;
};

std::string manifestOf(const std::string& path) {
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) return {};
  std::string text;
  HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  HGLOBAL loaded = resource == nullptr ? nullptr : LoadResource(module, resource);
  if (loaded != nullptr) {
    text.assign(static_cast<const char*>(LockResource(loaded)), SizeofResource(module, resource));
  }
  FreeLibrary(module);
  return text;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ShippedProgram : public ::testing::TestWithParam<Program> {};

TEST_P(ShippedProgram, VersionResourceNamesTheProgramAndTheProjectVersion) {
  const VersionResource version(programPath(GetParam()));
  ASSERT_TRUE(version.present()) << programPath(GetParam()) << ": no version resource";
  const VS_FIXEDFILEINFO* fixed = version.fixed();
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  for (DWORD mostSignificant : {fixed->dwFileVersionMS, fixed->dwProductVersionMS}) {
    EXPECT_EQ(HIWORD(mostSignificant), QUORVEL_VERSION_MAJOR);
    EXPECT_EQ(LOWORD(mostSignificant), QUORVEL_VERSION_MINOR);
  }
  EXPECT_EQ(version.text("FileVersion"), QUORVEL_VERSION);
  EXPECT_EQ(version.text("ProductVersion"), QUORVEL_VERSION);
  EXPECT_EQ(version.text("ProductName"), "Quorvel Zambrio");
  EXPECT_EQ(version.text("OriginalFilename"), GetParam().fileName);
  EXPECT_FALSE(version.text("FileDescription").empty());
}

TEST_P(ShippedProgram, ManifestIsAcceptedByTheLoaderAndAsksForNoElevation) {
  const std::string path = programPath(GetParam());
  const std::string manifest = manifestOf(path);
  ASSERT_FALSE(manifest.empty()) << path << ": no manifest";
  // A manifest the loader rejects keeps the program from starting at all.
  ACTCTXA context{};
  context.cbSize = sizeof context;
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = path.c_str();
  context.lpResourceName = MAKEINTRESOURCEA(1);
  HANDLE activation = CreateActCtxA(&context);
  EXPECT_NE(activation, INVALID_HANDLE_VALUE) << "rejected, error " << GetLastError();
  if (activation != INVALID_HANDLE_VALUE) ReleaseActCtx(activation);

  EXPECT_TRUE(contains(manifest, "<requestedExecutionLevel level=\"asInvoker\""));
  const char* windows7To11[] = {
      "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
      "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"};
  for (const char* id : windows7To11) {
    EXPECT_TRUE(contains(manifest, std::string("<supportedOS Id=\"") + id + "\"")) << id;
  }
  EXPECT_TRUE(contains(manifest, "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
  EXPECT_EQ(contains(manifest, "<dpiAware"), GetParam().showsDialogs);
  EXPECT_EQ(contains(manifest, "<dpiAwareness"), GetParam().showsDialogs);
}

// "quorvel-upgrade.exe" -> "quorvelupgrade"
std::string testName(const ::testing::TestParamInfo<Program>& program) {
  std::string name = program.param.fileName;
  name.erase(name.find('.'));
  name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
  return name;
}

INSTANTIATE_TEST_SUITE_P(Release, ShippedProgram, ::testing::ValuesIn(kPrograms), testName);

}  // namespace
}  // namespace quorvel::release
