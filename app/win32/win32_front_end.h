#pragma once

#include "app/startup.h"

namespace quorvel::win32 {

// The start-up sequence's Windows face: splash, missing-file box, erase warning and the
// upgrade dialog, all modal.
class Win32FrontEnd final : public StartupFrontEnd {
 public:
  void showSplash() override;
  void showMissingFile(const RequiredFileCheck& check) override;
  bool confirmUpgrade(unsigned major, unsigned minor) override;
  int runUpgrade(Downloader& downloader) override;
};

// The whole dialog program: the common controls, then the start-up sequence. Returns the
// process's exit status.
int runDialogProgram();

}  // namespace quorvel::win32
