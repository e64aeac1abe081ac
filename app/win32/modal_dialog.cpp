#include "app/win32/modal_dialog.h"

#include <vector>

namespace quorvel::win32 {

void DataExchange::control(int id, DialogItem& item) {
  item.hwnd_ = GetDlgItem(dialog_, id);
}

void DataExchange::text(int id, std::string& value) {
  HWND control = GetDlgItem(dialog_, id);
  if (control == nullptr) return;
  if (!save_) {
    SetWindowTextA(control, value.c_str());
    return;
  }
  int length = GetWindowTextLengthA(control);
  std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
  int copied = GetWindowTextA(control, buffer.data(), length + 1);
  value.assign(buffer.data(), static_cast<size_t>(copied < 0 ? 0 : copied));
}

INT_PTR ModalDialog::runModal() {
  return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId_), parent_,
                         &ModalDialog::dialogProc, reinterpret_cast<LPARAM>(this));
}

BOOL ModalDialog::onInitDialog() {
  updateData(false);
  return TRUE;
}

bool ModalDialog::onCommand(WORD id, WORD /*notifyCode*/) {
  switch (id) {
    case IDOK:
      onOk();
      return true;
    case IDCANCEL:
      onCancel();
      return true;
    default:
      return false;
  }
}

bool ModalDialog::onMessage(UINT, WPARAM, LPARAM, INT_PTR&) {
  return false;
}

void ModalDialog::onOk() {
  updateData(true);
  endDialog(IDOK);
}

void ModalDialog::onCancel() {
  endDialog(IDCANCEL);
}

void ModalDialog::updateData(bool saveAndValidate) {
  DataExchange dx(hwnd_, saveAndValidate);
  doDataExchange(dx);
}

bool ModalDialog::paintMinimisedIcon(HICON icon) {
  if (!IsIconic(hwnd_)) return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(hwnd_, &client);
  int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, icon);
  EndPaint(hwnd_, &paint);
  return true;
}

INT_PTR CALLBACK ModalDialog::dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* dialog = reinterpret_cast<ModalDialog*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, lParam);
    dialog->hwnd_ = hwnd;
  }
  auto* dialog = reinterpret_cast<ModalDialog*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  // Messages before WM_INITDIALOG (WM_SETFONT) get the dialog manager's default handling.
  if (dialog == nullptr) return FALSE;
  INT_PTR result = dialog->handle(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    dialog->hwnd_ = nullptr;
  }
  return result;
}

INT_PTR ModalDialog::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) return onInitDialog();
  if (message == WM_COMMAND) return onCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
  INT_PTR result = FALSE;
  return onMessage(message, wParam, lParam, result) ? result : FALSE;
}

}  // namespace quorvel::win32
