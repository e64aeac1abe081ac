#include "engine/downloader.h"

#include <cstdio>
#include <cstring>
#include <span>

#include "engine/modbus_link.h"
#include "engine/sector_transfer.h"
#include "image/image_conversion.h"
#include "platform/timing.h"
#include "serial/port_reservation.h"
#include "serial/trace.h"

namespace quorvel {
namespace {

inline constexpr std::size_t kPortNameChars = kPortNameSize - 1;
inline constexpr std::uint64_t kFullPercentage = 100;

constexpr const char* kCancelledMessage = "Download canceled by user.";
constexpr const char* kImageSentLine =
    "\nThe whole image had been sent; only the check that the new firmware runs was canceled.";

std::string corruptedFilesMessage() {
  return std::string("ERROR : File to download ") + kImageFileName + " or utility " +
         converterFileName() + " is corrupted.";
}

}  // namespace

std::string resultMessageFor(std::int32_t result) {
  switch (static_cast<std::uint32_t>(result)) {
    case Success:
      return "Download successful.";
    case PortNotOpened:
      return "ERROR : Unable to open serial port.";
    case FilesCorrupted:
      return corruptedFilesMessage();
    case TransferFailed:
      return "ERROR : Unable to update Quorvel firmware.\n\nPlease verify serial port number, "
             "optical link and firmware compatibility.";
    case Cancelled:
      return kCancelledMessage;
    case NoAnswerAfterUpgrade:
      return "ERROR : The Quorvel did not answer after the upgrade. Turn it OFF and then ON, then "
             "check its firmware version.";
    default:
      return "UNEXPECTED ERROR !";
  }
}

Downloader::Downloader() : ownImage_(std::in_place), image_(*ownImage_) {
  openImage();
}

Downloader::Downloader(const FirmwareImage& image) : image_(image) {
  openImage();
}

Downloader::~Downloader() {
  reader_.close();  // before an own image deletes the files
  frameBuffer_.reset();
}

void Downloader::openImage() {
  cancelled_ = false;
  port_.setCancelEvent(&cancelEvent_);
  if (image_.usable() && reader_.open(image_.directory()) && readerMatchesImage()) {
    result_ = Success;
  } else {
    result_ = FilesCorrupted;
  }
  frameBuffer_ = std::make_unique<std::uint16_t[]>(kFrameBufferWords);
}

// The files were checked once, when they were converted; a reader that finds them of
// another length sees other files than the ones checked. Nothing is read from them before
// the transfer, so that it reads what the disk holds then.
bool Downloader::readerMatchesImage() {
  reader_.measureLsbLength();
  reader_.useCompatibilityWord(image_.compatibilityWord());
  if (reader_.lsbLength() == image_.lsbLength()) return true;
  trace(1, "The converted image changed after it was checked\n");
  return false;
}

void Downloader::setPortName(const char* name) {
  std::memset(portName_, 0, sizeof portName_);
  if (name != nullptr) std::strncpy(portName_, name, kPortNameChars);
}

std::string restartAnsweredMessage(double seconds) {
  char text[80];
  std::snprintf(text, sizeof text, "Instrument answered after %.1f s: the new firmware runs.",
                seconds);
  return text;
}

std::string Downloader::resultMessage() const {
  if (result_ == Cancelled && cancelledAfterGo_)
    return kCancelledMessage + std::string(kImageSentLine);
  return resultMessageFor(result_);
}

bool Downloader::pollCancel() {
  if (!cancelEvent_.isSignalled()) return false;
  result_ = Cancelled;
  cancelled_ = true;
  return true;
}

bool Downloader::runDownload(MessageTarget& target, unsigned progressMessage,
                             DownloadObserver* observer) {
  if (result_ == FilesCorrupted) return false;
  DownloadObserver silent;
  observer_ = observer != nullptr ? observer : &silent;
  result_ = Success;
  goSentAt_.reset();
  restartSeconds_ = 0;
  cancelledAfterGo_ = false;
  bool succeeded = false;
  // The port is this run's from the first open at the Modbus rate until the transfer port
  // has closed, the pause between the two speeds included, when no descriptor holds it.
  PortReservation reservation;
  if (reservation.reserve(portName_, PortReservation::Use::Run) == ReservationStatus::Busy) {
    trace(1, "Serial port %s is in use by another upgrade\n", portName_);
    result_ = PortNotOpened;
  } else if (!enterLoader()) {
    // Cancelled before the transfer: no sector frame reaches the instrument.
  } else if (!port_.open(portName_, kTransferBaud)) {
    result_ = PortNotOpened;
  } else {
    succeeded = transferSectors(target, progressMessage);
    port_.close();
  }
  cancelled_ = false;
  reader_.rewind();
  observer_ = nullptr;
  return succeeded;
}

// The loader-mode entry and the wait after it, both cut short by a cancel. False when a
// cancel came before the transfer port is opened.
bool Downloader::enterLoader() {
  observer_->loaderEntryStarted();
  if (enterLoaderMode(kInstrumentSlaveAddress, portName_, kModbusBaud, cancelEvent_, observer_)) {
    cancelEvent_.waitFor(timing().afterLoaderEntryMs);
  }
  return !pollCancel();
}

bool Downloader::transferSectors(MessageTarget& target, unsigned progressMessage) {
  const std::span<std::uint16_t> frame(frameBuffer_.get(), kFrameBufferWords);
  std::uint32_t sectorNumber = 0;
  while (!cancelled_ && reader_.readSector(frame, frameWords_)) {
    ++sectorNumber;
    if (!sendSectorWithRetries(sectorNumber)) break;
    observer_->sectorAcknowledged(sectorNumber);
    postProgress(target, progressMessage);
  }
  if (result_ == TransferFailed || cancelled_) return false;
  if (!reachedEndOfImage()) return false;
  sendGo(port_);
  goSentAt_ = std::chrono::steady_clock::now();
  target.post(progressMessage, kFullPercentage, 0);
  return true;
}

// The sector loop also ends when a read fails or the files changed after they were
// checked; only a reader that stands at the end of LSB.tmp has sent the whole image, and
// the closing order after a partial image could leave the instrument unusable.
bool Downloader::reachedEndOfImage() {
  if (reader_.position() == reader_.lsbLength()) return true;
  trace(1, "Image read stopped at byte %llu of %llu\n",
        static_cast<unsigned long long>(reader_.position()),
        static_cast<unsigned long long>(reader_.lsbLength()));
  result_ = FilesCorrupted;
  return false;
}

bool Downloader::sendSectorWithRetries(std::uint32_t sectorNumber) {
  const CancelTest cancelTest = [this] { return pollCancel(); };
  SectorTry sectorTry{sectorNumber, 0, frameAddress(), frameWords_};
  for (int attempt = 1;; ++attempt) {
    sectorTry.attempt = static_cast<std::uint32_t>(attempt);
    observer_->sectorTry(sectorTry);
    trace(1, "Sending sector number %u, try %u (%lu words)\n", sectorNumber,
          static_cast<unsigned>(attempt), static_cast<unsigned long>(frameWords_));
    SectorAnswer answer;
    const bool acknowledged =
        sendSector(port_, frameBuffer_.get(), frameWords_, cancelTest, &answer);
    if (cancelled_) return false;
    observer_->sectorAnswer(sectorTry, answer);
    if (acknowledged) return true;
    if (attempt == kSectorTries) {
      result_ = TransferFailed;
      trace(1, "Download failed : max number of tries reached\n");
      return false;
    }
    sleepMs(timing().retryPauseMs);
  }
}

// The first two words of every frame: the address, high word first.
std::uint32_t Downloader::frameAddress() const {
  return static_cast<std::uint32_t>(frameBuffer_[0]) << 16 | frameBuffer_[1];
}

bool Downloader::checkRestart(std::uint32_t limitSeconds, DownloadObserver* observer) {
  if (!goSentAt_) return false;
  DownloadObserver silent;
  const RestartCheckResult check = awaitRestart(portName_, *goSentAt_, limitSeconds, cancelEvent_,
                                                observer != nullptr ? *observer : silent);
  restartSeconds_ = check.secondsSinceGo;
  switch (check.outcome) {
    case RestartOutcome::Answered:
      return true;
    case RestartOutcome::NotAnswered:
      result_ = NoAnswerAfterUpgrade;
      break;
    case RestartOutcome::Cancelled:
      result_ = Cancelled;
      cancelledAfterGo_ = true;
      break;
  }
  return false;
}

// 64-bit, so that no image length makes the product wrap.
void Downloader::postProgress(MessageTarget& target, unsigned progressMessage) {
  const std::uint64_t length = reader_.lsbLength();
  const std::uint64_t percentage = length == 0 ? 0 : reader_.position() * 100 / length;
  target.post(progressMessage, static_cast<std::uintptr_t>(percentage), 0);
}

}  // namespace quorvel
