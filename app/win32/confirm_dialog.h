#pragma once

#include <windows.h>

#include <string>

#include "app/win32/modal_dialog.h"

namespace quorvel::win32 {

// The erase warning naming the image's compatibility version. Runs to 1 for YES (or Enter)
// and to 2 for NO, Esc or the close box.
class ConfirmDialog : public ModalDialog {
 public:
  explicit ConfirmDialog(HWND parent = nullptr);

  void setCompatibility(unsigned major, unsigned minor);
  const std::string& messageText() const { return messageText_; }

 protected:
  BOOL onInitDialog() override;
  bool onCommand(WORD id, WORD notifyCode) override;
  bool onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;
  void doDataExchange(DataExchange& dx) override;

 private:
  std::string messageText_;
  HICON appIcon_;
};

}  // namespace quorvel::win32
