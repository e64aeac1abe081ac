// The dialogs in this process, driven by a second thread the way a user would: find the
// window, press keys and buttons, read texts and states.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/win32/about_dialog.h"
#include "app/win32/confirm_dialog.h"
#include "app/win32/resource.h"
#include "app/win32/upgrade_dialog.h"
#include "platform/timing.h"
#include "serial/port_list.h"
#include "tests/app/win32/gui_probe.h"
#include "tests/serial/registered_port_device.h"

namespace quorvel::win32 {
namespace {

using gui::DialogKind;
using namespace std::chrono_literals;

const DWORD kSelf = GetCurrentProcessId();
constexpr COLORREF kWhite = RGB(255, 255, 255);

// The entries of the port box, read from another thread.
std::vector<std::string> portEntries(HWND portBox) {
  std::vector<std::string> entries;
  auto count = gui::sendTo(portBox, CB_GETCOUNT);
  for (LRESULT i = 0; i < count; ++i) {
    std::string text(static_cast<std::size_t>(gui::sendTo(portBox, CB_GETLBTEXTLEN, i)) + 1, '\0');
    text.resize(static_cast<std::size_t>(gui::sendTo(portBox, CB_GETLBTEXT, static_cast<WPARAM>(i),
                                                     reinterpret_cast<LPARAM>(text.data()))));
    entries.push_back(text);
  }
  return entries;
}

const std::vector<std::string> kFixedPorts = {"COM1", "COM2", "COM3", "COM4",
                                              "COM5", "COM6", "COM7", "COM8"};

bool haveDisplay() {
  const char* display = std::getenv("DISPLAY");
  return display != nullptr && *display != '\0';
}

// Runs `dialog` modally on this thread while `drive` acts on it from another; whatever the
// driver leaves open is closed afterwards so a failing test cannot hang.
INT_PTR runDriven(ModalDialog& dialog, const std::function<void()>& drive) {
  std::thread driver([&] {
    drive();
    for (int round = 0; round < 3; ++round) {
      for (HWND left : gui::findDialogs(kSelf, DialogKind::Any)) {
        PostMessageA(left, WM_COMMAND, IDCANCEL, 0);
        PostMessageA(left, WM_COMMAND, IDOK, 0);
      }
      std::this_thread::sleep_for(200ms);
    }
  });
  INT_PTR result = dialog.runModal();
  driver.join();
  return result;
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveDisplay()) GTEST_SKIP() << "needs an X display (run under xvfb-run)";
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
  }
};

TEST(LinkAnimation, ArrowsLightUpTowardsTheInstrumentThenGoDark) {
  struct Case {
    int phase;
    bool first, second;
    int next;
  };
  for (const Case& c :
       {Case{0, true, false, 1}, Case{1, false, true, 2}, Case{2, false, false, 0}}) {
    LinkStep step = linkStep(c.phase);
    EXPECT_EQ(step.firstArrow, c.first) << c.phase;
    EXPECT_EQ(step.secondArrow, c.second) << c.phase;
    EXPECT_EQ(step.nextPhase, c.next) << c.phase;
  }
}

TEST_F(DialogTest, SplashHidesItsCloseButtonAndEndsItselfWithCancel) {
  ScopedTimingScale fast(5);
  AboutDialog splash;
  splash.splashMode = AboutDialog::kSplash;
  bool closeButtonVisible = true;
  std::string deviceName;
  auto started = std::chrono::steady_clock::now();
  INT_PTR result = runDriven(splash, [&] {
    HWND box = gui::waitForDialog(kSelf, DialogKind::AboutBox);
    if (box == nullptr) return;
    closeButtonVisible = gui::itemVisible(box, IDOK);
    deviceName = gui::itemText(box, IDC_DEVICE_NAME);
    gui::waitUntil([&] { return !IsWindow(box); }, 5s);
  });
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_FALSE(closeButtonVisible);
  EXPECT_EQ(deviceName, "Quorvel");
  EXPECT_LT(elapsed, 3s) << "the splash must close on its own";
}

TEST_F(DialogTest, AboutBoxClosesOnItsButtonAndKeysAndReleasesItsGdiObjects) {
  struct Case {
    const char* name;
    std::function<void(HWND)> close;
    INT_PTR expected;
  };
  const Case cases[] = {
      {"X button", [](HWND box) { gui::clickItem(box, IDOK); }, IDOK},
      {"Enter", [](HWND box) { gui::pressKey(box, VK_RETURN); }, IDOK},
      {"Esc", [](HWND box) { gui::pressKey(box, VK_ESCAPE); }, IDCANCEL},
  };
  for (const Case& c : cases) {
    HBRUSH brush = nullptr;
    HBITMAP bitmap = nullptr;
    {
      AboutDialog about;
      bool closeButtonVisible = false;
      std::optional<COLORREF> background;
      std::string caption;
      INT_PTR result = runDriven(about, [&] {
        HWND box = gui::waitForDialog(kSelf, DialogKind::AboutBox);
        if (box == nullptr) return;
        closeButtonVisible = gui::itemVisible(box, IDOK);
        caption = gui::windowText(box);
        std::this_thread::sleep_for(200ms);  // let it paint
        RECT rect;
        GetWindowRect(box, &rect);
        HDC screen = GetDC(nullptr);
        background = GetPixel(screen, rect.left + 4, rect.bottom - 4);
        ReleaseDC(nullptr, screen);
        c.close(box);
      });
      EXPECT_EQ(result, c.expected) << c.name;
      EXPECT_TRUE(closeButtonVisible) << c.name;
      EXPECT_EQ(caption, "Quorvel Zambrio") << c.name;
      EXPECT_EQ(background, kWhite) << c.name;
      brush = about.backgroundBrush();
      bitmap = about.logoBitmap();
      EXPECT_NE(GetObjectType(brush), 0u) << c.name;
      EXPECT_NE(GetObjectType(bitmap), 0u) << c.name;
    }
    EXPECT_EQ(GetObjectType(brush), 0u) << c.name << ": brush leaked";
    EXPECT_EQ(GetObjectType(bitmap), 0u) << c.name << ": bitmap leaked";
  }
}

// This program carries the dialog program's manifest, so the dialogs are tested with the
// look they ship with: Common Controls 6, under which the About box must stay white.
TEST(CommonControls, Version6IsInUse) {
  // Version 6 lives in its side-by-side assembly; the plain system copy is version 5.
  char path[MAX_PATH] = {};
  ASSERT_NE(GetModuleFileNameA(GetModuleHandleA("comctl32.dll"), path, MAX_PATH), 0u);
  std::string loaded = path;
  for (char& c : loaded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(loaded.find("common-controls_6595b64144ccf1df_6."), std::string::npos) << path;
}

TEST_F(DialogTest, ConfirmationGoesOnOnlyWithYes) {
  struct Case {
    const char* name;
    std::function<void(HWND)> answer;
    INT_PTR expected;
  };
  const Case cases[] = {
      {"YES", [](HWND box) { gui::clickItem(box, IDYES); }, IDOK},
      {"Enter (default button)", [](HWND box) { gui::pressKey(box, VK_RETURN); }, IDOK},
      {"NO", [](HWND box) { gui::clickItem(box, IDNO); }, IDCANCEL},
      {"Esc", [](HWND box) { gui::pressKey(box, VK_ESCAPE); }, IDCANCEL},
      {"close box", [](HWND box) { PostMessageA(box, WM_CLOSE, 0, 0); }, IDCANCEL},
  };
  for (const Case& c : cases) {
    ConfirmDialog confirm;
    confirm.setCompatibility(1, 3);
    std::string text;
    INT_PTR result = runDriven(confirm, [&] {
      HWND box = gui::waitForDialog(kSelf, DialogKind::Confirm);
      if (box == nullptr) return;
      text = gui::itemText(box, IDC_CONFIRM_TEXT);
      c.answer(box);
    });
    EXPECT_EQ(result, c.expected) << c.name;
    EXPECT_EQ(text, "You are about to upgrade your Quorvel with firmware compatibility 1.3")
        << c.name;
  }
}

// The upgrade dialog over a downloader whose conversion found nothing to convert.
class UpgradeDialogTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    if (IsSkipped()) return;
    previous_ = std::filesystem::current_path();
    dir_ = std::filesystem::temp_directory_path() /
           ("quorvel-dialog-test-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
    downloader_.emplace();
  }
  void TearDown() override {
    downloader_.reset();
    if (!previous_.empty()) std::filesystem::current_path(previous_);
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

  std::filesystem::path previous_;
  std::filesystem::path dir_;
  std::optional<Downloader> downloader_;
};

TEST_F(UpgradeDialogTest, OpensIdleWithCom1SelectedAndTheTransferPictureHidden) {
  UpgradeDialog dialog(*downloader_);
  struct Seen {
    std::string portText, percent, button, lastMenuText;
    std::vector<std::string> entries;
    LRESULT selection = -1, rangeHigh = 0, dragIcon = 0;
    UINT lastMenuId = 0;
    bool stepsVisible = false, pictureHidden = false;
  } seen;
  INT_PTR result = runDriven(dialog, [&] {
    HWND window = gui::waitForDialog(kSelf, DialogKind::Upgrade);
    if (window == nullptr) return;
    HWND port = GetDlgItem(window, IDC_PORT);
    seen.portText = gui::windowText(port);
    seen.selection = gui::sendTo(port, CB_GETCURSEL);
    seen.entries = portEntries(port);
    seen.percent = gui::itemText(window, IDC_PERCENT);
    seen.button = gui::itemText(window, IDC_START);
    seen.rangeHigh = gui::sendTo(GetDlgItem(window, IDC_PROGRESS), PBM_GETRANGE, FALSE);
    seen.dragIcon = gui::sendTo(window, WM_QUERYDRAGICON);
    HMENU menu = GetSystemMenu(window, FALSE);
    int count = GetMenuItemCount(menu);
    seen.lastMenuId = GetMenuItemID(menu, count - 1);
    char text[64] = {};
    GetMenuStringA(menu, count - 1, text, sizeof text, MF_BYPOSITION);
    seen.lastMenuText = text;
    seen.stepsVisible =
        gui::itemVisible(window, IDC_STEP1_MARK) && gui::itemVisible(window, IDC_STEP2_MARK) &&
        gui::itemVisible(window, IDC_STEP1_HINT) && gui::itemVisible(window, IDC_STEP2_HINT) &&
        gui::itemVisible(window, IDC_PORT);
    seen.pictureHidden = true;
    for (int id : {IDC_LINK_COMPUTER, IDC_DEVICE_ICON, IDC_LINK_ARROW1, IDC_LINK_ARROW2}) {
      seen.pictureHidden = seen.pictureHidden && !gui::itemVisible(window, id);
    }
    gui::pressKey(window, VK_ESCAPE);  // idle: Esc closes
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(seen.portText, "COM1");
  EXPECT_EQ(seen.selection, 0);
  ASSERT_GE(seen.entries.size(), kFixedPorts.size());
  EXPECT_TRUE(std::equal(kFixedPorts.begin(), kFixedPorts.end(), seen.entries.begin()));
  EXPECT_EQ(seen.percent, "0");
  EXPECT_EQ(seen.button, "START FIRMWARE UPGRADE");
  EXPECT_EQ(seen.rangeHigh, 100);
  EXPECT_NE(seen.dragIcon, 0);
  EXPECT_EQ(seen.lastMenuId, static_cast<UINT>(IDM_ABOUTBOX));
  EXPECT_EQ(seen.lastMenuText, "&About Zambrio...");
  EXPECT_TRUE(seen.stepsVisible);
  EXPECT_TRUE(seen.pictureHidden);
}

// Ports entered into the prefix's device manager: one before the dialog opens, one while it
// is open, which shows once the list is dropped down.
TEST_F(UpgradeDialogTest, PortBoxListsOtherPresentPortsAfterCom8AndRefreshesThemOnDropDown) {
  const std::string hardwareId = "USB\\VID_0403&PID_6001";
  testing::RegisteredPortDevice early(hardwareId + "\\QUORVELGUI21", "COM21", hardwareId);
  testing::RegisteredPortDevice tooLong(hardwareId + "\\QUORVELGUI7", "CNCA1234", hardwareId);
  std::optional<testing::RegisteredPortDevice> late;
  UpgradeDialog dialog(*downloader_);
  std::vector<std::string> atStart, afterDropDown;
  std::string typed;
  runDriven(dialog, [&] {
    HWND window = gui::waitForDialog(kSelf, DialogKind::Upgrade);
    if (window == nullptr) return;
    HWND port = GetDlgItem(window, IDC_PORT);
    atStart = portEntries(port);
    late.emplace(hardwareId + "\\QUORVELGUI15", "COM15", hardwareId);
    SetWindowTextA(port, "MYPORT");  // typed by the user
    gui::sendTo(port, CB_SHOWDROPDOWN, TRUE);
    gui::sendTo(port, CB_SHOWDROPDOWN, FALSE);
    afterDropDown = portEntries(port);
    typed = gui::windowText(port);
    PostMessageA(window, WM_CLOSE, 0, 0);
  });
  for (const auto* entries : {&atStart, &afterDropDown}) {
    ASSERT_GE(entries->size(), kFixedPorts.size());
    EXPECT_TRUE(std::equal(kFixedPorts.begin(), kFixedPorts.end(), entries->begin()));
    std::vector<std::string> extra(entries->begin() + 8, entries->end());
    EXPECT_TRUE(std::is_sorted(extra.begin(), extra.end(), naturalLess));
    EXPECT_EQ(std::count(extra.begin(), extra.end(), "COM21"), 1);
    // A name over six characters would reach the downloader cut.
    for (const std::string& name : extra) EXPECT_LE(name.size(), 6u) << name;
    for (const std::string& fixed : kFixedPorts)
      EXPECT_EQ(std::count(extra.begin(), extra.end(), fixed), 0);
  }
  EXPECT_EQ(std::count(atStart.begin(), atStart.end(), "COM15"), 0);
  EXPECT_EQ(std::count(afterDropDown.begin(), afterDropDown.end(), "COM15"), 1);
  EXPECT_EQ(typed, "MYPORT");
}

TEST_F(UpgradeDialogTest, ShowsProgressMessagesInTheBarAndThePercentage) {
  UpgradeDialog dialog(*downloader_);
  std::string percent;
  LRESULT position = -1;
  runDriven(dialog, [&] {
    HWND window = gui::waitForDialog(kSelf, DialogKind::Upgrade);
    if (window == nullptr) return;
    PostMessageA(window, WM_DOWNLOAD_PROGRESS, 42, 0);
    gui::waitUntil([&] { return gui::itemText(window, IDC_PERCENT) == "42"; }, 3s);
    percent = gui::itemText(window, IDC_PERCENT);
    position = gui::sendTo(GetDlgItem(window, IDC_PROGRESS), PBM_GETPOS);
    PostMessageA(window, WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(percent, "42");
  EXPECT_EQ(position, 42);
}

TEST_F(UpgradeDialogTest, AboutBoxFromTheSystemMenuIsOwnedByTheDialogAsOftenAsAsked) {
  UpgradeDialog dialog(*downloader_);
  int opened = 0;
  bool ownedByDialog = true;
  runDriven(dialog, [&] {
    HWND window = gui::waitForDialog(kSelf, DialogKind::Upgrade);
    if (window == nullptr) return;
    for (int round = 0; round < 3; ++round) {
      PostMessageA(window, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
      HWND about = gui::waitForDialog(kSelf, DialogKind::AboutBox, 5s);
      if (about == nullptr) return;
      ++opened;
      ownedByDialog = ownedByDialog && GetWindow(about, GW_OWNER) == window;
      gui::clickItem(about, IDOK);
      gui::waitUntil([&] { return !IsWindow(about); }, 5s);
    }
    PostMessageA(window, WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(opened, 3);
  EXPECT_TRUE(ownedByDialog);
}

// The worker hands the typed port name on as it is, up to six characters: "COM10" whole, a
// longer text cut. The downloader here has no image, so its run ends at once.
TEST_F(UpgradeDialogTest, TypedPortNameReachesTheDownloaderUpToSixCharacters) {
  for (const auto& [typed, reached] :
       {std::pair<std::string, std::string>{"COM10", "COM10"}, {"COM10 or so", "COM10 "}}) {
    UpgradeDialog dialog(*downloader_);
    std::string result;
    runDriven(dialog, [&] {
      HWND window = gui::waitForDialog(kSelf, DialogKind::Upgrade);
      if (window == nullptr) return;
      gui::sendTo(GetDlgItem(window, IDC_PORT), WM_SETTEXT, 0,
                  reinterpret_cast<LPARAM>(typed.c_str()));
      gui::clickItem(window, IDC_START);
      for (int box = 0; box < 2; ++box) {  // the power-cycle prompt, then the result
        HWND shown = gui::waitForDialog(kSelf, DialogKind::MessageBox, 5s);
        if (shown == nullptr) return;
        result = gui::messageBoxText(shown);
        gui::clickItem(shown, IDOK);
        gui::waitUntil([&] { return !IsWindow(shown); }, 5s);
      }
    });
    EXPECT_EQ(result, "ERROR : File to download quorvel.out or utility hex55.exe is corrupted.");
    EXPECT_STREQ(downloader_->portName(), reached.c_str());
  }
}

// The button still reads CANCEL while the result of the ended download shows: pressing it
// then must not start a second download (the power-cycle prompt would show again).
TEST_F(UpgradeDialogTest, ButtonPressedOnceTheDownloadHasEndedStartsNoOther) {
  UpgradeDialog dialog(*downloader_);
  std::vector<std::string> boxes;
  INT_PTR result = runDriven(dialog, [&] {
    HWND window = gui::waitForDialog(kSelf, DialogKind::Upgrade);
    if (window == nullptr) return;
    gui::clickItem(window, IDC_START);
    constexpr std::size_t kBoxesAtMost = 4;  // a second download would bring two more
    while (boxes.size() < kBoxesAtMost) {
      HWND box = gui::waitForDialog(kSelf, DialogKind::MessageBox, 2s);
      if (box == nullptr) break;
      boxes.push_back(gui::messageBoxText(box));
      if (boxes.size() == 2) {  // the result of the download
        gui::clickItem(window, IDC_START);
        std::this_thread::sleep_for(300ms);  // handled inside the result box's loop
      }
      gui::clickItem(box, IDOK);
      gui::waitUntil([&] { return !IsWindow(box); }, 5s);
    }
    gui::waitUntil([&] { return !IsWindow(window); }, 5s);
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(boxes, (std::vector<std::string>{
                       "Turn OFF and then turn ON your Quorvel.\n\nWhen done click on OK",
                       "ERROR : File to download quorvel.out or utility hex55.exe is corrupted."}));
}

// A dialog whose worker thread cannot be created.
class NoWorkerUpgradeDialog : public UpgradeDialog {
 public:
  using UpgradeDialog::UpgradeDialog;

 protected:
  bool startWorker() override { return false; }
};

TEST_F(UpgradeDialogTest, FailedWorkerStartIsReportedAndClosesTheDialog) {
  NoWorkerUpgradeDialog dialog(*downloader_);
  std::string prompt, error;
  INT_PTR result = runDriven(dialog, [&] {
    HWND window = gui::waitForDialog(kSelf, DialogKind::Upgrade);
    if (window == nullptr) return;
    gui::pressKey(window, VK_RETURN);  // Enter presses START
    HWND box = gui::waitForDialog(kSelf, DialogKind::MessageBox, 5s);
    if (box == nullptr) return;
    prompt = gui::messageBoxText(box);
    gui::clickItem(box, IDOK);
    gui::waitUntil([&] { return !IsWindow(box); }, 5s);
    box = gui::waitForDialog(kSelf, DialogKind::MessageBox, 5s);
    if (box == nullptr) return;
    error = gui::messageBoxText(box);
    gui::clickItem(box, IDOK);
    gui::waitUntil([&] { return !IsWindow(window); }, 5s);
  });
  EXPECT_EQ(prompt, "Turn OFF and then turn ON your Quorvel.\n\nWhen done click on OK");
  EXPECT_EQ(error, "UNEXPECTED ERROR !");
  EXPECT_EQ(result, IDCANCEL);
}

}  // namespace
}  // namespace quorvel::win32
