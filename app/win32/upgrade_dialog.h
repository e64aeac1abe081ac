#pragma once

#include <windows.h>

#include <string>

#include "app/win32/modal_dialog.h"
#include "app/win32/win32_handles.h"
#include "engine/downloader.h"

namespace quorvel::win32 {

// One step of the transfer animation: which arrows show for a phase, and the next phase.
struct LinkStep {
  bool firstArrow;
  bool secondArrow;
  int nextPhase;
};
LinkStep linkStep(int phase);

// The main window: port choice, the one download on a worker thread, its progress and
// outcome. Uses the downloader of the start-up sequence, which outlives the dialog.
class UpgradeDialog : public ModalDialog {
 public:
  static constexpr UINT_PTR kLinkTimerId = 1;
  static constexpr const char* kPorts[] = {"COM1", "COM2", "COM3", "COM4",
                                           "COM5", "COM6", "COM7", "COM8"};
  static constexpr int kPortNameChars = 6;  // what the worker hands to the downloader

  explicit UpgradeDialog(Downloader& downloader);
  ~UpgradeDialog() override;

  unsigned compatibilityMajor() const { return downloader_.compatibilityWord() >> 8; }
  unsigned compatibilityMinor() const { return downloader_.compatibilityWord() & 0xFFu; }

 protected:
  BOOL onInitDialog() override;
  bool onCommand(WORD id, WORD notifyCode) override;
  bool onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;
  void doDataExchange(DataExchange& dx) override;
  void onOk() override { onStart(); }
  void onCancel() override;
  // Creates the worker thread; false when it could not be created. A seam for tests.
  virtual bool startWorker();

 private:
  static DWORD WINAPI workerMain(LPVOID dialog);
  void onStart();
  void onProgress(int percent);
  void onLinkTimer();
  void onDownloadEnd(bool succeeded);
  bool onSysCommand(WPARAM command);
  void showLinkIcons();
  void showRunningLook();
  // Lists the present ports after the fixed ones again, keeping what the edit field shows.
  void refreshExtraPorts();

  DialogItem deviceIcon_;
  DialogItem progressBar_;
  DialogItem portBox_;
  std::string portText_;
  std::string percentText_ = "0";
  Downloader& downloader_;
  OwnedThread workerThread_;
  DWORD workerThreadId_ = 0;
  bool downloadStarted_ = false;  // the dialog's one download has been started
  HICON appIcon_;
};

}  // namespace quorvel::win32
