#include "app/win32/confirm_dialog.h"

#include "app/startup.h"
#include "app/win32/resource.h"

namespace quorvel::win32 {

ConfirmDialog::ConfirmDialog(HWND parent)
    : ModalDialog(IDD_CONFIRM, parent), appIcon_(loadProgramIcon(IDI_INSTRUMENT)) {}

void ConfirmDialog::setCompatibility(unsigned major, unsigned minor) {
  messageText_ = compatibilityMessage(major, minor);
}

void ConfirmDialog::doDataExchange(DataExchange& dx) {
  dx.text(IDC_CONFIRM_TEXT, messageText_);
}

BOOL ConfirmDialog::onInitDialog() {
  ModalDialog::onInitDialog();
  SendMessageA(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(appIcon_));
  SendMessageA(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(appIcon_));
  SetWindowTextA(hwnd(), kCaption);
  return TRUE;
}

bool ConfirmDialog::onCommand(WORD id, WORD notifyCode) {
  switch (id) {
    case IDYES:
      onOk();  // takes the values back and ends with 1
      return true;
    case IDNO:
      endDialog(IDCANCEL);
      return true;
    default:
      return ModalDialog::onCommand(id, notifyCode);
  }
}

bool ConfirmDialog::onMessage(UINT message, WPARAM, LPARAM, INT_PTR& result) {
  if (message == WM_PAINT && paintMinimisedIcon(appIcon_)) {
    result = TRUE;
    return true;
  }
  return false;
}

}  // namespace quorvel::win32
