#pragma once

#include <string>

#include "app/exit_codes.h"
#include "engine/downloader.h"
#include "image/image_conversion.h"

namespace quorvel {

// What the start-up sequence asks of a front end (the dialogs or the terminal).
class StartupFrontEnd {
 public:
  virtual ~StartupFrontEnd() = default;
  // Where and with which converter the image is converted, first of all: the working
  // directory with the platform's converter unless a front end has a place of its own.
  virtual ConversionSetup conversionSetup() { return {}; }
  // Once the converter has ended: a status other than 0 ends start-up with it at once (an
  // interrupt during the conversion); 0 goes on.
  virtual int afterConversion() { return 0; }
  // After the conversion, before the file checks (the splash box on Windows).
  virtual void showSplash() = 0;
  // Looks for the image and the converter: those of the working directory unless a front end
  // takes them from elsewhere.
  virtual RequiredFileCheck requiredFiles() { return checkRequiredFiles(); }
  // A required file is missing (`check` names it and holds the dialogs' text); start-up then
  // ends.
  virtual void showMissingFile(const RequiredFileCheck& check) = 0;
  // After the file checks, before the erase warning: makes sure of the port, or finds it,
  // without sending anything but a read-only probe. Non-zero: the status to end with.
  virtual int checkPort() { return 0; }
  // The erase warning with the image's compatibility version; true to go on.
  virtual bool confirmUpgrade(unsigned major, unsigned minor) = 0;
  // Port choice, power cycle, the download and its result; returns the exit status.
  virtual int runUpgrade(Downloader& downloader) = 0;
};

// The first line of the erase warning: "You are about to upgrade your Quorvel with firmware
// compatibility M.m", major and minor in decimal.
std::string compatibilityMessage(unsigned major, unsigned minor);

// The whole start-up: converts the image first and sets a downloader over it, shows the
// splash, checks the required files and the port, asks for confirmation, runs the upgrade. The
// temporary files are deleted however it ends. Returns the exit status: 0 on success,
// kExitMissingFile, kExitDeclined or what checkPort or runUpgrade returned.
int runStartup(StartupFrontEnd& frontEnd);

}  // namespace quorvel
