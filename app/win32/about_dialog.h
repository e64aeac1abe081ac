#pragma once

#include <windows.h>

#include <string>

#include "app/win32/modal_dialog.h"
#include "app/win32/win32_handles.h"

namespace quorvel::win32 {

// The About box (from the upgrade dialog's system menu) and, with splashMode 1, the splash
// box that closes itself after timing().splashMs. Black text on white.
class AboutDialog : public ModalDialog {
 public:
  static constexpr int kSplash = 1;
  static constexpr UINT_PTR kSplashTimerId = 1;
  static constexpr COLORREF kWhite = RGB(255, 255, 255);
  static constexpr COLORREF kBlack = RGB(0, 0, 0);

  explicit AboutDialog(HWND owner = nullptr);

  int splashMode = 0;

  // For tests: the GDI objects the box owns while it is open.
  HBRUSH backgroundBrush() const { return backgroundBrush_.get(); }
  HBITMAP logoBitmap() const { return logoBitmap_.get(); }

 protected:
  BOOL onInitDialog() override;
  bool onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;
  void doDataExchange(DataExchange& dx) override;

 private:
  void setColours(COLORREF background, COLORREF text);
  INT_PTR onControlColour(HDC dc, int kind);
  void onSplashTimer();

  DialogItem logo_;
  DialogItem deviceIconControl_;
  std::string deviceName_;
  OwnedBitmap logoBitmap_;
  OwnedBrush backgroundBrush_;
  COLORREF textColour_ = kBlack;
  COLORREF backgroundColour_ = kWhite;
};

}  // namespace quorvel::win32
