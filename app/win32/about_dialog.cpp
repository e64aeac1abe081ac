#include "app/win32/about_dialog.h"

#include "app/win32/resource.h"
#include "platform/timing.h"

namespace quorvel::win32 {
namespace {

constexpr const char* kDeviceName = "Quorvel";

}  // namespace

AboutDialog::AboutDialog(HWND owner) : ModalDialog(IDD_ABOUT, owner) {}

void AboutDialog::doDataExchange(DataExchange& dx) {
  dx.control(IDC_LOGO, logo_);
  dx.control(IDC_DEVICE_ICON, deviceIconControl_);
  dx.text(IDC_DEVICE_NAME, deviceName_);
}

BOOL AboutDialog::onInitDialog() {
  ModalDialog::onInitDialog();
  if (splashMode == kSplash) {
    showItem(IDOK, false);
    SetTimer(hwnd(), kSplashTimerId, timing().splashMs, nullptr);
  }
  deviceIconControl_.send(STM_SETICON, reinterpret_cast<WPARAM>(loadProgramIcon(IDI_INSTRUMENT)));
  logoBitmap_.reset(static_cast<HBITMAP>(
      LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_LOGO), IMAGE_BITMAP, 0, 0, 0)));
  if (logoBitmap_) {
    logo_.send(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(logoBitmap_.get()));
  }
  setColours(kWhite, kBlack);
  SetWindowTextA(hwnd(), kCaption);
  deviceName_ = kDeviceName;
  updateData(false);
  return TRUE;
}

void AboutDialog::setColours(COLORREF background, COLORREF text) {
  backgroundBrush_.reset(CreateSolidBrush(background));
  backgroundColour_ = background;
  textColour_ = text;
}

INT_PTR AboutDialog::onControlColour(HDC dc, int kind) {
  if (kind != CTLCOLOR_DLG && kind != CTLCOLOR_STATIC) return FALSE;  // standard colours
  SetTextColor(dc, textColour_);
  SetBkMode(dc, TRANSPARENT);
  if (backgroundBrush_) return reinterpret_cast<INT_PTR>(backgroundBrush_.get());
  return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
}

void AboutDialog::onSplashTimer() {
  KillTimer(hwnd(), kSplashTimerId);
  endDialog(IDCANCEL);
}

bool AboutDialog::onMessage(UINT message, WPARAM wParam, LPARAM, INT_PTR& result) {
  switch (message) {
    case WM_CTLCOLORDLG:
      result = onControlColour(reinterpret_cast<HDC>(wParam), CTLCOLOR_DLG);
      return result != FALSE;
    case WM_CTLCOLORSTATIC:
      result = onControlColour(reinterpret_cast<HDC>(wParam), CTLCOLOR_STATIC);
      return result != FALSE;
    case WM_TIMER:
      onSplashTimer();
      return true;
    case WM_DESTROY:
      // The logo control must not paint a bitmap we are about to delete.
      if (logo_.bound()) logo_.send(STM_SETIMAGE, IMAGE_BITMAP, 0);
      return false;
    default:
      return false;
  }
}

}  // namespace quorvel::win32
