// End-to-end tests of ZambrioQUORVEL.exe: each test starts the program in a working
// directory of its own and plays the technician from outside, through window messages.
//
// Environment (set by scripts/wine-gui-tests.sh; Unix paths are accepted):
//   QUORVEL_APP, QUORVEL_HEX55, QUORVEL_IMAGE   the program, the converter, a sample image
//   QUORVEL_APP_FAST                            its test build, which scales its timing
//   QUORVEL_IMAGE_COMPAT                        the image's compatibility, e.g. "1.3"
//   QUORVEL_FAKE_HEX55                          a converter that writes LSB.tmp only
//   QUORVEL_SIM_PORT                            a COM port with the simulated instrument
//   QUORVEL_CLI                                 quorvel-upgrade.exe (optional)
//   QUORVEL_SCREENSHOT_DIR                      where to save screenshots (optional)
//   QUORVEL_APP_DIR                             (optional) an unpacked release: the runs
//                                               happen in it, at real timing, instead of
//                                               in fresh copies
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/win32/gui_probe.h"

namespace quorvel::gui {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Control ids of the program's dialogs.
constexpr int kPortId = 1002;
constexpr int kStartId = 1004;
constexpr int kProgressId = 1000;
constexpr int kPercentId = 1012;
constexpr int kConfirmTextId = 1027;
constexpr int kYesId = 6;
constexpr int kNoId = 7;
constexpr int kComputerIconId = 1021;
constexpr int kDeviceIconId = 1022;
constexpr int kArrow1Id = 1023;
constexpr int kArrow2Id = 1024;
constexpr int kStepIds[] = {1035, 1036, 1037, 1038};
constexpr WPARAM kAboutCommand = 16;

constexpr auto kProgramExitTimeout = 20s;
constexpr auto kDownloadTimeout = 90s;
constexpr const char* kFastTimes = "10";   // QUORVEL_TIME_DIVISOR for tests that only wait
constexpr const char* kShipped = nullptr;  // the program users get, not its test build

constexpr const char* kPowerCyclePrompt =
    "Turn OFF and then turn ON your Quorvel.\n\nWhen done click on OK";
constexpr const char* kConfirmLead =
    "You are about to upgrade your Quorvel with firmware compatibility ";

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// "/work/x/y" -> "Z:\work\x\y"; Windows paths pass unchanged.
std::string windowsPath(std::string path) {
  if (!path.empty() && path.front() == '/') path = "Z:" + path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

void screenshot(HWND window, const char* name) {
  std::string dir = env("QUORVEL_SCREENSHOT_DIR");
  if (dir.empty() || window == nullptr) return;
  std::this_thread::sleep_for(300ms);  // let every control paint
  saveWindowBitmap(window, windowsPath(dir) + "\\" + name + ".bmp");
}

struct File {
  const char* sourceVariable;  // environment variable naming the source
  const char* name;            // name in the working directory
};
const File kConverter{"QUORVEL_HEX55", "hex55.exe"};
const File kImage{"QUORVEL_IMAGE", "quorvel.out"};
const File kOneFileConverter{"QUORVEL_FAKE_HEX55", "hex55.exe"};

// One run of the program in a fresh working directory holding `files`: its test build with
// its timing divided by `timeDivisor`, or kShipped, which must keep the real timing although
// the variable is set.
class ProgramRun {
 public:
  ProgramRun(const std::vector<File>& files, const char* timeDivisor) {
    const std::string releaseDir = env("QUORVEL_APP_DIR");
    if (releaseDir.empty()) {
      prepareFreshDir(files, timeDivisor);
    } else {
      dir_ = windowsPath(releaseDir);
      ownsDir_ = false;
      timeDivisor = kShipped;  // an unpacked release holds the program users get
    }
    SetEnvironmentVariableA("QUORVEL_TIME_DIVISOR",
                            timeDivisor == kShipped ? kFastTimes : timeDivisor);
    std::string commandLine = (dir_ / "ZambrioQUORVEL.exe").string();
    commandLine.insert(commandLine.begin(), '"');
    commandLine.push_back('"');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    started_ = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              dir_.string().c_str(), &startup, &process_) != FALSE;
    EXPECT_TRUE(started_) << "cannot start " << commandLine;
  }
  ~ProgramRun() {
    if (started_) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.hProcess, 99);
        WaitForSingleObject(process_.hProcess, 5000);
      }
      CloseHandle(process_.hThread);
      CloseHandle(process_.hProcess);
    }
    std::error_code ignored;
    if (ownsDir_) fs::remove_all(dir_, ignored);
  }
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  DWORD id() const { return process_.dwProcessId; }
  bool started() const { return started_; }
  HWND waitFor(DialogKind kind, std::chrono::milliseconds timeout = 20s) const {
    return started_ ? waitForDialog(id(), kind, timeout) : nullptr;
  }
  bool running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

  // Waits for the program to end; any dialog that shows meanwhile, other than the
  // `answered` one on its way out, is a failure.
  void expectSilentExit(HWND answered = nullptr) {
    if (answered != nullptr) waitUntil([&] { return !IsWindowVisible(answered); }, 5s);
    bool exited = waitUntil(
        [&] {
          for (HWND unexpected : findDialogs(id(), DialogKind::Any)) {
            ADD_FAILURE() << "unexpected window: " << messageBoxText(unexpected);
            PostMessageA(unexpected, WM_CLOSE, 0, 0);
          }
          return !running();
        },
        kProgramExitTimeout);
    ASSERT_TRUE(exited) << "the program did not end";
    DWORD code = 1;
    GetExitCodeProcess(process_.hProcess, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(fs::exists(dir_ / "LSB.tmp")) << "LSB.tmp left behind";
    EXPECT_FALSE(fs::exists(dir_ / "MSB.tmp")) << "MSB.tmp left behind";
  }

  // Expects a message box with `text`, closes it with OK.
  void answerMessageBox(const std::string& text, std::chrono::milliseconds timeout = 20s) {
    HWND box = waitFor(DialogKind::MessageBox, timeout);
    ASSERT_NE(box, nullptr) << "no message box \"" << text << "\"";
    EXPECT_EQ(messageBoxText(box), text);
    clickItem(box, IDOK);
    waitUntil([&] { return !IsWindow(box); }, 5s);
  }

  // Confirms the erase warning with YES; returns the upgrade dialog.
  HWND confirmAndOpenUpgrade() {
    HWND confirm = waitFor(DialogKind::Confirm);
    if (confirm == nullptr) return nullptr;
    clickItem(confirm, kYesId);
    return waitFor(DialogKind::Upgrade);
  }

  // Types `port`, presses START and acknowledges the power-cycle prompt.
  void startDownload(HWND upgrade, const char* port) {
    HWND portBox = GetDlgItem(upgrade, kPortId);
    sendTo(portBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(port));
    clickItem(upgrade, kStartId);
    answerMessageBox(kPowerCyclePrompt);
  }

 private:
  void prepareFreshDir(const std::vector<File>& files, const char* timeDivisor) {
    static int counter = 0;
    dir_ = fs::temp_directory_path() / ("zambrio-gui-" + std::to_string(GetCurrentProcessId()) +
                                        "-" + std::to_string(++counter));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    for (const File& file : files) {
      std::string source = windowsPath(env(file.sourceVariable));
      if (!CopyFileA(source.c_str(), (dir_ / file.name).string().c_str(), FALSE)) {
        ADD_FAILURE() << "cannot copy " << source << " (" << file.sourceVariable << ")";
      }
    }
    const char* appVariable = timeDivisor == kShipped ? "QUORVEL_APP" : "QUORVEL_APP_FAST";
    std::string app = windowsPath(env(appVariable));
    if (!CopyFileA(app.c_str(), (dir_ / "ZambrioQUORVEL.exe").string().c_str(), FALSE)) {
      ADD_FAILURE() << "cannot copy " << app << " (" << appVariable << ")";
    }
  }

  fs::path dir_;
  bool ownsDir_ = true;
  PROCESS_INFORMATION process_{};
  bool started_ = false;
};

struct CommandResult {
  DWORD exitCode = 0;
  std::string errors;  // what it wrote to standard error
};

// Runs a console program without a window and waits for it; its standard error goes to a file.
CommandResult runCommand(std::string commandLine) {
  CommandResult result;
  const fs::path errors = fs::temp_directory_path() /
                          ("zambrio-gui-command-" + std::to_string(GetCurrentProcessId()) + ".err");
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE errorFile = CreateFileA(errors.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                 &inheritable, CREATE_ALWAYS, 0, nullptr);
  EXPECT_NE(errorFile, INVALID_HANDLE_VALUE);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = errorFile;
  PROCESS_INFORMATION process{};
  if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                     nullptr, &startup, &process)) {
    WaitForSingleObject(process.hProcess, 60000);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  } else {
    ADD_FAILURE() << "cannot start " << commandLine;
  }
  CloseHandle(errorFile);
  std::ifstream in(errors, std::ios::binary);
  result.errors.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  in.close();
  std::error_code ignored;  // the console the program had may hold the file a moment longer
  fs::remove(errors, ignored);
  return result;
}

bool runningLook(HWND upgrade) {
  bool hidden = !itemVisible(upgrade, kPortId);
  for (int id : kStepIds) hidden = hidden && !itemVisible(upgrade, id);
  return hidden && itemText(upgrade, kStartId) == "CANCEL" &&
         itemVisible(upgrade, kComputerIconId) && itemVisible(upgrade, kDeviceIconId);
}

// --- start-up ---------------------------------------------------------------------------

// The shipped program, with the test builds' time divisor set: the splash keeps its 1500 ms.
TEST(StartUp, MissingImageIsReportedAfterTheSplashOfOneAndAHalfSeconds) {
  ProgramRun run({kConverter}, kShipped);
  HWND splash = run.waitFor(DialogKind::AboutBox);
  ASSERT_NE(splash, nullptr) << "no splash";
  auto shown = std::chrono::steady_clock::now();
  EXPECT_FALSE(itemVisible(splash, IDOK)) << "the splash has no close button";
  screenshot(splash, "splash");
  ASSERT_TRUE(waitUntil([&] { return !IsWindow(splash); }, 10s)) << "the splash stayed";
  auto lifetime = std::chrono::steady_clock::now() - shown;
  EXPECT_GE(lifetime, 1000ms);
  EXPECT_LE(lifetime, 2500ms);
  run.answerMessageBox(
      "Required file quorvel.out not found !\n"
      "Please copy it in the same directory than ZambrioQUORVEL.exe");
  run.expectSilentExit();
}

TEST(StartUp, MissingConverterIsReported) {
  ProgramRun run({kImage}, kFastTimes);
  run.answerMessageBox(
      "Required file hex55.exe not found !\n"
      "Please copy it in the same directory than ZambrioQUORVEL.exe");
  run.expectSilentExit();
}

struct Answer {
  const char* name;
  std::function<void(HWND)> give;
};

void PrintTo(const Answer& answer, std::ostream* out) {
  *out << answer.name;
}

std::string answerName(const ::testing::TestParamInfo<Answer>& answer) {
  return answer.param.name;
}

class Declining : public ::testing::TestWithParam<Answer> {};

TEST_P(Declining, EndsTheProgramSilently) {
  ProgramRun run({kConverter, kImage}, kFastTimes);
  HWND confirm = run.waitFor(DialogKind::Confirm);
  ASSERT_NE(confirm, nullptr);
  EXPECT_EQ(itemText(confirm, kConfirmTextId),
            std::string(kConfirmLead).append(env("QUORVEL_IMAGE_COMPAT")));
  if (std::string(GetParam().name) == "NO") screenshot(confirm, "confirm");
  GetParam().give(confirm);
  run.expectSilentExit(confirm);
}

INSTANTIATE_TEST_SUITE_P(
    Confirmation, Declining,
    ::testing::Values(Answer{"NO", [](HWND box) { clickItem(box, kNoId); }},
                      Answer{"Esc", [](HWND box) { pressKey(box, VK_ESCAPE); }},
                      Answer{"CloseBox", [](HWND box) { PostMessageA(box, WM_CLOSE, 0, 0); }}),
    answerName);

class Accepting : public ::testing::TestWithParam<Answer> {};

TEST_P(Accepting, OpensTheUpgradeDialogIdleWithCom1) {
  ProgramRun run({kConverter, kImage}, kFastTimes);
  HWND confirm = run.waitFor(DialogKind::Confirm);
  ASSERT_NE(confirm, nullptr);
  GetParam().give(confirm);
  HWND upgrade = run.waitFor(DialogKind::Upgrade);
  ASSERT_NE(upgrade, nullptr);
  HWND portBox = GetDlgItem(upgrade, kPortId);
  EXPECT_EQ(sendTo(portBox, CB_GETCURSEL), 0);
  EXPECT_EQ(windowText(portBox), "COM1");
  EXPECT_EQ(itemText(upgrade, kStartId), "START FIRMWARE UPGRADE");
  EXPECT_EQ(itemText(upgrade, kPercentId), "0");
  EXPECT_FALSE(itemVisible(upgrade, kComputerIconId));
  if (std::string(GetParam().name) == "YES") screenshot(upgrade, "upgrade-idle");
  pressKey(upgrade, VK_ESCAPE);  // idle: Esc closes the dialog and the program
  run.expectSilentExit(upgrade);
}

INSTANTIATE_TEST_SUITE_P(Confirmation, Accepting,
                         ::testing::Values(Answer{"YES", [](HWND box) { clickItem(box, kYesId); }},
                                           Answer{"Enter",
                                                  [](HWND box) { pressKey(box, VK_RETURN); }}),
                         answerName);

// --- downloads that fail before the line ------------------------------------------------

TEST(Upgrade, PortThatCannotBeOpenedIsReported) {
  ProgramRun run({kConverter, kImage}, kFastTimes);
  HWND upgrade = run.confirmAndOpenUpgrade();
  ASSERT_NE(upgrade, nullptr);
  run.startDownload(upgrade, "COM42");  // mapped to nothing
  run.answerMessageBox("ERROR : Unable to open serial port.");
  run.expectSilentExit();
}

TEST(Upgrade, HalfFinishedConversionShows255_255AndTheCorruptedFilesMessage) {
  ProgramRun run({kOneFileConverter, kImage}, kFastTimes);
  HWND confirm = run.waitFor(DialogKind::Confirm);
  ASSERT_NE(confirm, nullptr);
  EXPECT_EQ(itemText(confirm, kConfirmTextId), std::string(kConfirmLead).append("255.255"));
  clickItem(confirm, kYesId);
  HWND upgrade = run.waitFor(DialogKind::Upgrade);
  ASSERT_NE(upgrade, nullptr);
  run.startDownload(upgrade, "COM1");
  run.answerMessageBox("ERROR : File to download quorvel.out or utility hex55.exe is corrupted.");
  run.expectSilentExit();
}

// --- downloads over the simulated instrument --------------------------------------------

class OverSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = env("QUORVEL_SIM_PORT");
    if (port_.empty()) GTEST_SKIP() << "QUORVEL_SIM_PORT not set: no simulated instrument";
  }
  std::string port_;
};

TEST_F(OverSimulator, TypedPortUpgradeRunsToSuccessWithAboutBoxOnTheWay) {
  ProgramRun run({kConverter, kImage}, "2");
  HWND upgrade = run.confirmAndOpenUpgrade();
  ASSERT_NE(upgrade, nullptr);
  sendTo(GetDlgItem(upgrade, kPortId), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(port_.c_str()));
  pressKey(upgrade, VK_RETURN);  // Enter presses START
  run.answerMessageBox(kPowerCyclePrompt);
  ASSERT_TRUE(waitUntil([&] { return runningLook(upgrade); }, 5s)) << "no Running look";

  std::vector<int> percentages{0};
  bool arrowSeen = false;
  bool aboutDone = false;
  HWND resultBox = nullptr;
  bool finished = waitUntil(
      [&] {
        int percent = std::atoi(itemText(upgrade, kPercentId).c_str());
        if (percent != percentages.back()) percentages.push_back(percent);
        arrowSeen = arrowSeen || itemVisible(upgrade, kArrow1Id) || itemVisible(upgrade, kArrow2Id);
        if (!aboutDone && percent > 0) {
          screenshot(upgrade, "upgrade-running");
          PostMessageA(upgrade, WM_SYSCOMMAND, kAboutCommand, 0);
          HWND about = run.waitFor(DialogKind::AboutBox, 5s);
          EXPECT_NE(about, nullptr) << "no About box during the download";
          if (about != nullptr) {
            EXPECT_TRUE(itemVisible(about, IDOK));
            screenshot(about, "about");
            clickItem(about, IDOK);
            waitUntil([&] { return !IsWindow(about); }, 5s);
          }
          aboutDone = true;
        }
        auto boxes = findDialogs(run.id(), DialogKind::MessageBox);
        if (!boxes.empty()) resultBox = boxes.front();
        return resultBox != nullptr;
      },
      kDownloadTimeout);
  ASSERT_TRUE(finished) << "no result box";
  // The bar and the percentage are full before the result shows.
  EXPECT_EQ(itemText(upgrade, kPercentId), "100");
  EXPECT_EQ(sendTo(GetDlgItem(upgrade, kProgressId), PBM_GETPOS), 100);
  EXPECT_EQ(messageBoxText(resultBox), "Download successful.");
  EXPECT_TRUE(aboutDone);
  EXPECT_TRUE(arrowSeen) << "the transfer picture never moved";
  EXPECT_TRUE(std::is_sorted(percentages.begin(), percentages.end()));
  EXPECT_EQ(percentages.back(), 100);
  clickItem(resultBox, IDOK);
  run.expectSilentExit(resultBox);
}

const Answer kCancelButton{"Button", [](HWND dialog) { clickItem(dialog, kStartId); }};
const Answer kEscKey{"Esc", [](HWND dialog) { pressKey(dialog, VK_ESCAPE); }};
const Answer kCloseBox{"CloseBox",
                       [](HWND dialog) { PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }};

class FirstCancel : public OverSimulator, public ::testing::WithParamInterface<Answer> {};

// The simulator leaves the second sector unanswered; the first one sets the percentage.
// Each way of cancelling works as the first one; a second cancel changes nothing.
TEST_P(FirstCancel, DuringTheTransferIsReportedOnce) {
  ProgramRun run({kConverter, kImage}, "2");
  HWND upgrade = run.confirmAndOpenUpgrade();
  ASSERT_NE(upgrade, nullptr);
  run.startDownload(upgrade, port_.c_str());
  ASSERT_TRUE(waitUntil([&] { return itemText(upgrade, kPercentId) != "0"; }, 60s))
      << "no progress";
  GetParam().give(upgrade);
  kCancelButton.give(upgrade);
  run.answerMessageBox("Download canceled by user.", 30s);
  run.expectSilentExit();
}

INSTANTIATE_TEST_SUITE_P(OverSimulator, FirstCancel,
                         ::testing::Values(kCancelButton, kEscKey, kCloseBox), answerName);

// While the program downloads, its port is reserved: a search from quorvel-upgrade.exe reports
// it in use and sends nothing, and the download succeeds. (Wine lets a second program open a
// COM port that one holds; only the reservation keeps the search off.)
TEST_F(OverSimulator, SearchFromTheCommandLineKeepsOffTheDownloadsPort) {
  const std::string cli = windowsPath(env("QUORVEL_CLI"));
  if (cli.empty()) GTEST_SKIP() << "QUORVEL_CLI not set";
  ProgramRun run({kConverter, kImage}, "2");
  HWND upgrade = run.confirmAndOpenUpgrade();
  ASSERT_NE(upgrade, nullptr);
  run.startDownload(upgrade, port_.c_str());
  ASSERT_TRUE(waitUntil([&] { return runningLook(upgrade); }, 5s)) << "no Running look";
  const CommandResult search = runCommand("\"" + cli + "\" --find --port " + port_);
  EXPECT_EQ(search.exitCode, 10u);
  EXPECT_NE(search.errors.find(port_ + ": in use by another upgrade"), std::string::npos)
      << search.errors;
  run.answerMessageBox("Download successful.", kDownloadTimeout);
  run.expectSilentExit();
}

// CANCEL at once, while the program still talks Modbus: the download ends as cancelled, and
// no sector frame reaches the instrument (scripts/wine-gui-tests.sh reads the simulator's
// log for that).
TEST_F(OverSimulator, CancelDuringTheLoaderEntryIsReported) {
  ProgramRun run({kConverter, kImage}, "2");
  HWND upgrade = run.confirmAndOpenUpgrade();
  ASSERT_NE(upgrade, nullptr);
  run.startDownload(upgrade, port_.c_str());
  kCancelButton.give(upgrade);
  run.answerMessageBox("Download canceled by user.", 30s);
  run.expectSilentExit();
}

// CANCEL once the last sector has been acknowledged (its percentage, 99, shows then; 100
// follows "GO"): nothing is left to cancel, the download ends as a success.
TEST_F(OverSimulator, CancelAfterTheLastSectorEndsAsSuccess) {
  constexpr int kLastSectorPercentage = 99;
  ProgramRun run({kConverter, kImage}, "2");
  HWND upgrade = run.confirmAndOpenUpgrade();
  ASSERT_NE(upgrade, nullptr);
  run.startDownload(upgrade, port_.c_str());
  ASSERT_TRUE(waitUntil(
      [&] { return std::atoi(itemText(upgrade, kPercentId).c_str()) >= kLastSectorPercentage; },
      kDownloadTimeout))
      << "the last sector was never acknowledged";
  kCancelButton.give(upgrade);
  run.answerMessageBox("Download successful.", 30s);
  run.expectSilentExit();
}

}  // namespace
}  // namespace quorvel::gui

int main(int argc, char** argv) {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
