#pragma once

#include <windows.h>

#include <string>

namespace quorvel::win32 {

// The caption of every window and message box of the program.
inline constexpr const char* kCaption = "Quorvel Zambrio";

// An icon of the program's resources. Shared by the system: never destroyed.
inline HICON loadProgramIcon(int id) {
  return LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id));
}

// A child control of a dialog, bound by id during data exchange.
class DialogItem {
 public:
  HWND hwnd() const { return hwnd_; }
  bool bound() const { return hwnd_ != nullptr; }
  LRESULT send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return SendMessageA(hwnd_, message, wParam, lParam);
  }

 private:
  friend class DataExchange;
  HWND hwnd_ = nullptr;
};

// Moves values between a dialog's members and its controls, in one direction per pass.
class DataExchange {
 public:
  DataExchange(HWND dialog, bool saveAndValidate) : dialog_(dialog), save_(saveAndValidate) {}
  bool saving() const { return save_; }
  // Binds `item` to control `id` (both directions).
  void control(int id, DialogItem& item);
  // The window text of control `id` (for an editable combo box, its edit field).
  void text(int id, std::string& value);

 private:
  HWND dialog_;
  bool save_;
};

// A modal dialog built from a template in the program's resources. The framework parts the
// dialogs rely on: data exchange, Enter/Esc through IDOK/IDCANCEL, default-button handling
// by the dialog manager, and the window handle stored in GWLP_USERDATA.
class ModalDialog {
 public:
  ModalDialog(int templateId, HWND parent) : templateId_(templateId), parent_(parent) {}
  virtual ~ModalDialog() = default;
  ModalDialog(const ModalDialog&) = delete;
  ModalDialog& operator=(const ModalDialog&) = delete;

  // Runs the dialog; returns the code given to endDialog, or -1 when it could not be shown.
  INT_PTR runModal();
  HWND hwnd() const { return hwnd_; }

 protected:
  // Binds the controls and fills them; returning TRUE lets the dialog manager set the focus.
  virtual BOOL onInitDialog();
  // Return true when handled. The defaults route IDOK to onOk and IDCANCEL to onCancel.
  virtual bool onCommand(WORD id, WORD notifyCode);
  // Any other message. Return true when handled, with `result` the dialog procedure's value.
  virtual bool onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result);
  virtual void doDataExchange(DataExchange& /*dx*/) {}

  // Takes the control values back into the members, then closes with IDOK.
  virtual void onOk();
  // Closes with IDCANCEL.
  virtual void onCancel();

  void updateData(bool saveAndValidate);
  void endDialog(INT_PTR result) { EndDialog(hwnd_, result); }
  HWND item(int id) const { return GetDlgItem(hwnd_, id); }
  void showItem(int id, bool visible) const { ShowWindow(item(id), visible ? SW_SHOW : SW_HIDE); }
  // Draws `icon` centred in the client area while the window is minimised; false otherwise.
  bool paintMinimisedIcon(HICON icon);

 private:
  static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);

  int templateId_;
  HWND parent_;
  HWND hwnd_ = nullptr;
};

}  // namespace quorvel::win32
