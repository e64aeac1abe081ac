#include "app/startup.h"

#include <cstdio>

namespace quorvel {

std::string compatibilityMessage(unsigned major, unsigned minor) {
  char text[96];
  std::snprintf(text, sizeof text, "%s %u.%u",
                "You are about to upgrade your Quorvel with firmware compatibility", major, minor);
  return text;
}

int runStartup(StartupFrontEnd& frontEnd) {
  // The image is converted first of all, before the file checks, as the dialog program does by
  // building its downloader at start: a missing image or converter still runs the conversion,
  // whose failure the check below then reports. The files are deleted after the downloader
  // over them has closed them.
  const FirmwareImage image(frontEnd.conversionSetup());
  Downloader downloader(image);
  if (const int status = frontEnd.afterConversion(); status != 0) return status;
  frontEnd.showSplash();
  RequiredFileCheck check = frontEnd.requiredFiles();
  if (!check.ok) {
    frontEnd.showMissingFile(check);
    return kExitMissingFile;
  }
  if (int status = frontEnd.checkPort(); status != 0) return status;
  std::uint16_t word = downloader.compatibilityWord();
  if (!frontEnd.confirmUpgrade(word >> 8, word & 0xFFu)) return kExitDeclined;
  return frontEnd.runUpgrade(downloader);
}

}  // namespace quorvel
