#include "app/win32/upgrade_dialog.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

#include "app/win32/about_dialog.h"
#include "app/win32/resource.h"
#include "app/win32/window_message_target.h"
#include "platform/message_target.h"
#include "platform/timing.h"
#include "serial/port_list.h"

namespace quorvel::win32 {
namespace {

constexpr const char* kAboutMenuText = "&About Zambrio...";
constexpr const char* kPowerCyclePrompt =
    "Turn OFF and then turn ON your Quorvel.\n\nWhen done click on OK";
constexpr const char* kSuccessText = "Download successful.";
constexpr const char* kNoWorkerText = "UNEXPECTED ERROR !";
constexpr const char* kCancelLabel = "CANCEL";
constexpr int kProgressMax = 100;
constexpr int kFixedPortCount = static_cast<int>(std::size(UpgradeDialog::kPorts));

bool sameName(const std::string& a, const std::string& b) {
  return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) ==
         CSTR_EQUAL;
}

std::string windowText(HWND window) {
  std::string text(static_cast<std::size_t>(GetWindowTextLengthA(window)) + 1, '\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextA(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::string comboEntry(const DialogItem& box, LRESULT index) {
  std::string text(static_cast<std::size_t>(box.send(CB_GETLBTEXTLEN, index)) + 1, '\0');
  text.resize(static_cast<std::size_t>(
      box.send(CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()))));
  return text;
}

// What the port box lists after its fixed COM1-COM8: every other present port whose name
// the dialog passes on whole, in the order given.
std::vector<std::string> extraPortNames(const std::vector<SerialPortInfo>& present) {
  std::vector<std::string> names;
  auto listed = [&names](const std::string& name) {
    auto same = [&name](const std::string& other) { return sameName(name, other); };
    return std::any_of(std::begin(UpgradeDialog::kPorts), std::end(UpgradeDialog::kPorts), same) ||
           std::any_of(names.begin(), names.end(), same);
  };
  for (const SerialPortInfo& port : present) {
    // A longer name would reach the downloader cut, and so another port or none.
    if (port.name.empty() || port.name.size() > UpgradeDialog::kPortNameChars) continue;
    if (!listed(port.name)) names.push_back(port.name);
  }
  return names;
}

// Phase of the transfer animation; program-wide and never reset.
int linkPhase = 0;

}  // namespace

LinkStep linkStep(int phase) {
  switch (phase) {
    case 0:
      return {true, false, 1};
    case 1:
      return {false, true, 2};
    default:
      return {false, false, 0};
  }
}

UpgradeDialog::UpgradeDialog(Downloader& downloader)
    : ModalDialog(IDD_UPGRADE, nullptr),
      downloader_(downloader),
      appIcon_(loadProgramIcon(IDI_INSTRUMENT)) {}

UpgradeDialog::~UpgradeDialog() {
  // The dialog only closes once the worker has ended; this is a last guard for the
  // downloader, which must not be destroyed under a running worker.
  if (workerThread_) {
    downloader_.cancelEvent().signal();
    WaitForSingleObject(workerThread_.get(), INFINITE);
  }
}

void UpgradeDialog::doDataExchange(DataExchange& dx) {
  dx.control(IDC_DEVICE_ICON, deviceIcon_);
  dx.control(IDC_PROGRESS, progressBar_);
  dx.control(IDC_PORT, portBox_);
  dx.text(IDC_PORT, portText_);
  dx.text(IDC_PERCENT, percentText_);
}

BOOL UpgradeDialog::onInitDialog() {
  ModalDialog::onInitDialog();
  if (HMENU systemMenu = GetSystemMenu(hwnd(), FALSE)) {
    AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, kAboutMenuText);
  }
  SendMessageA(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(appIcon_));
  SendMessageA(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(appIcon_));
  SetWindowTextA(hwnd(), kCaption);
  deviceIcon_.send(STM_SETICON, reinterpret_cast<WPARAM>(loadProgramIcon(IDI_INSTRUMENT)));
  for (const char* port : kPorts) portBox_.send(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(port));
  portBox_.send(CB_SETCURSEL, 0);
  refreshExtraPorts();
  progressBar_.send(PBM_SETRANGE, 0, MAKELPARAM(0, kProgressMax));
  return TRUE;  // the focus goes to the first tab stop, the start button
}

bool UpgradeDialog::onCommand(WORD id, WORD notifyCode) {
  if (id == IDC_START) {
    onStart();
    return true;
  }
  if (id == IDC_PORT && notifyCode == CBN_DROPDOWN) {
    refreshExtraPorts();  // an adapter plugged in since shows up
    return true;
  }
  if (id == IDC_PORT) return notifyCode == CBN_EDITCHANGE;  // typing needs no reaction
  return ModalDialog::onCommand(id, notifyCode);
}

bool UpgradeDialog::onMessage(UINT message, WPARAM wParam, LPARAM, INT_PTR& result) {
  switch (message) {
    case WM_SYSCOMMAND:
      result = onSysCommand(wParam) ? TRUE : FALSE;
      return result != FALSE;
    case WM_TIMER:
      onLinkTimer();
      return false;  // the default handling follows
    case WM_DOWNLOAD_PROGRESS:
      onProgress(static_cast<int>(wParam));
      result = TRUE;
      return true;
    case WM_DOWNLOAD_END:
      onDownloadEnd(wParam == 1);
      result = TRUE;
      return true;
    case WM_PAINT:
      result = paintMinimisedIcon(appIcon_) ? TRUE : FALSE;
      return result != FALSE;
    case WM_QUERYDRAGICON:
      result = reinterpret_cast<INT_PTR>(appIcon_);
      return true;
    default:
      return false;
  }
}

void UpgradeDialog::onStart() {
  if (workerThread_) {  // the button reads "CANCEL" while a download runs
    onCancel();
    return;
  }
  // A press of "CANCEL" that comes once the download has ended (while its result shows)
  // must not start a second one: the dialog closes after its one download.
  if (downloadStarted_) return;
  updateData(true);
  MessageBoxA(hwnd(), kPowerCyclePrompt, kCaption, MB_OK | MB_ICONINFORMATION);
  showRunningLook();
  SetTimer(hwnd(), kLinkTimerId, timing().linkAnimationMs, nullptr);
  downloadStarted_ = startWorker();
  if (!downloadStarted_) {
    // Never leave the Running look without a worker behind it.
    KillTimer(hwnd(), kLinkTimerId);
    MessageBoxA(hwnd(), kNoWorkerText, kCaption, MB_OK | MB_ICONERROR);
    onCancel();
  }
}

void UpgradeDialog::refreshExtraPorts() {
  const std::string shown = windowText(portBox_.hwnd());
  for (auto count = portBox_.send(CB_GETCOUNT); count > kFixedPortCount; --count) {
    portBox_.send(CB_DELETESTRING, static_cast<WPARAM>(count - 1));
  }
  for (const std::string& name : extraPortNames(listSerialPorts())) {
    portBox_.send(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  }
  // An entry spelled exactly as shown is selected again; anything else stays typed text.
  auto match = portBox_.send(CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                             reinterpret_cast<LPARAM>(shown.c_str()));
  if (match != CB_ERR && comboEntry(portBox_, match) == shown) {
    portBox_.send(CB_SETCURSEL, static_cast<WPARAM>(match));
  } else {
    portBox_.send(CB_SETCURSEL, static_cast<WPARAM>(-1));
    SetWindowTextA(portBox_.hwnd(), shown.c_str());
  }
}

void UpgradeDialog::showRunningLook() {
  for (int id : {IDC_STEP1_MARK, IDC_STEP2_MARK, IDC_STEP1_HINT, IDC_STEP2_HINT, IDC_PORT}) {
    showItem(id, false);
  }
  SetDlgItemTextA(hwnd(), IDC_START, kCancelLabel);
  showLinkIcons();
}

void UpgradeDialog::showLinkIcons() {
  showItem(IDC_LINK_ARROW1, false);
  showItem(IDC_LINK_ARROW2, false);
  showItem(IDC_LINK_COMPUTER, true);
  showItem(IDC_DEVICE_ICON, true);
}

bool UpgradeDialog::startWorker() {
  DWORD threadId = 0;
  HANDLE thread = CreateThread(nullptr, 0, &UpgradeDialog::workerMain, this, 0, &threadId);
  if (thread == nullptr) return false;
  workerThread_.reset(thread);
  workerThreadId_ = threadId;
  return true;
}

DWORD WINAPI UpgradeDialog::workerMain(LPVOID param) {
  auto* dialog = static_cast<UpgradeDialog*>(param);
  char portName[kPortNameChars + 1];
  std::snprintf(portName, sizeof portName, "%.6s", dialog->portText_.c_str());
  dialog->downloader_.setPortName(portName);
  WindowMessageTarget target(dialog->hwnd());
  bool succeeded = dialog->downloader_.runDownload(target, WM_DOWNLOAD_PROGRESS);
  PostMessageA(dialog->hwnd(), WM_DOWNLOAD_END, succeeded ? 1 : 0, 0);
  return 0;
}

void UpgradeDialog::onProgress(int percent) {
  progressBar_.send(PBM_SETPOS, static_cast<WPARAM>(percent));
  percentText_ = std::to_string(percent);
  updateData(false);
}

void UpgradeDialog::onLinkTimer() {
  LinkStep step = linkStep(linkPhase);
  showItem(IDC_LINK_ARROW1, step.firstArrow);
  showItem(IDC_LINK_ARROW2, step.secondArrow);
  linkPhase = step.nextPhase;
}

void UpgradeDialog::onDownloadEnd(bool succeeded) {
  if (!workerThread_) return;  // no download of ours is running
  // The worker posts this as its last act, so the wait is short.
  WaitForSingleObject(workerThread_.get(), INFINITE);
  workerThread_.reset();
  workerThreadId_ = 0;
  KillTimer(hwnd(), kLinkTimerId);
  if (succeeded) {
    MessageBoxA(hwnd(), kSuccessText, kCaption, MB_OK | MB_ICONINFORMATION);
  } else {
    MessageBoxA(hwnd(), downloader_.resultMessage().c_str(), kCaption, MB_OK | MB_ICONERROR);
  }
  onCancel();
}

void UpgradeDialog::onCancel() {
  if (workerThread_) {
    downloader_.cancelEvent().signal();
    return;
  }
  endDialog(IDCANCEL);
}

bool UpgradeDialog::onSysCommand(WPARAM command) {
  if ((command & 0xFFF0) != IDM_ABOUTBOX) return false;
  AboutDialog about(hwnd());
  about.runModal();
  return true;
}

}  // namespace quorvel::win32
