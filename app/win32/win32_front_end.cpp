#include "app/win32/win32_front_end.h"

#include <windows.h>

#include <commctrl.h>

#include "app/win32/about_dialog.h"
#include "app/win32/confirm_dialog.h"
#include "app/win32/upgrade_dialog.h"

namespace quorvel::win32 {

void Win32FrontEnd::showSplash() {
  AboutDialog splash;
  splash.splashMode = AboutDialog::kSplash;
  splash.runModal();
}

void Win32FrontEnd::showMissingFile(const RequiredFileCheck& check) {
  // No window exists yet, so the box has no owner.
  MessageBoxA(nullptr, check.message.c_str(), kCaption, MB_OK | MB_ICONERROR);
}

bool Win32FrontEnd::confirmUpgrade(unsigned major, unsigned minor) {
  ConfirmDialog confirm(nullptr);
  confirm.setCompatibility(major, minor);
  return confirm.runModal() == IDOK;
}

int Win32FrontEnd::runUpgrade(Downloader& downloader) {
  UpgradeDialog dialog(downloader);
  dialog.runModal();  // always ends through onCancel; its code means nothing
  return 0;
}

int runDialogProgram() {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  Win32FrontEnd frontEnd;
  runStartup(frontEnd);
  return 0;  // nothing relies on the exit status
}

}  // namespace quorvel::win32
