#pragma once

#include "app/startup.h"

namespace quorvel::win32 {

// The start-up sequence's Windows face: splash, missing-file box, erase warning and the
// upgrade dialog, all modal.
class Win32FrontEnd final : public StartupFrontEnd {
 public:
  void showSplash() override;
  void showMissingFile(const std::string& message) override;
  bool confirmUpgrade(unsigned major, unsigned minor) override;
  int runUpgrade(Downloader& downloader) override;
};

}  // namespace quorvel::win32
