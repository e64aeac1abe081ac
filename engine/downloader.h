#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/download_observer.h"
#include "engine/restart_check.h"
#include "image/firmware_image.h"
#include "image/sector_reader.h"
#include "platform/cancel_event.h"
#include "platform/message_target.h"
#include "serial/network_port_name.h"
#include "serial/serial_port.h"

namespace quorvel {

// Outcome of the downloader or of its last run.
enum DownloadResult : std::int32_t {
  Success = 0,
  PortNotOpened = 10,
  FilesCorrupted = 20,
  TransferFailed = 30,
  Cancelled = 40,
  NoAnswerAfterUpgrade = 50,  // by checkRestart only: the instrument did not come back
};

inline constexpr std::uint32_t kTransferBaud = 115200;
inline constexpr std::uint32_t kModbusBaud = 9600;
// Room for a device path on POSIX and for the longest network port name. The Windows dialog
// itself passes at most six characters ("COM10"), as its port box always did.
inline constexpr std::size_t kPortNameSize = 272;
static_assert(kPortNameSize > kMaxNetworkPortNameChars);

// The download engine: performs one complete upgrade per runDownload over a converted image,
// through a reader, a serial port and a cancel event of its own.
class Downloader {
 public:
  // Converts the image in the working directory and owns it: the temporary files are
  // deleted when the downloader is destroyed.
  Downloader();
  // Over an image converted elsewhere, which must outlive the downloader. The converter is
  // not run and the files are neither changed nor deleted, so that several downloaders can
  // share one image. An unusable image gives the result 20.
  explicit Downloader(const FirmwareImage& image);
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Blocks for the whole upgrade; posts `progressMessage` with the percentage to
  // `target` and reports the detail of the run to `observer`, if given. True only when
  // every sector was acknowledged and "GO" was sent.
  bool runDownload(MessageTarget& target, unsigned progressMessage,
                   DownloadObserver* observer = nullptr);
  // After a run that sent "GO": waits until the instrument, restarted in its new firmware,
  // answers the loader entry's register read again, at most `limitSeconds` (clamped to
  // kRestartLimitMinS..kRestartLimitMaxS) after "GO" (see awaitRestart). True when it
  // answered, restartSeconds() after "GO"; otherwise the result becomes 50, or 40 when the
  // cancel event ended the wait. False at once, the result untouched, when the last run did
  // not send "GO".
  bool checkRestart(std::uint32_t limitSeconds, DownloadObserver* observer = nullptr);
  double restartSeconds() const { return restartSeconds_; }
  // The result's text; a cancel during checkRestart also says that the image had been sent.
  std::string resultMessage() const;
  bool pollCancel();

  // Keeps at most kPortNameSize - 1 characters of `name`.
  void setPortName(const char* name);
  const char* portName() const { return portName_; }
  CancelEvent& cancelEvent() { return cancelEvent_; }
  std::int32_t result() const { return result_; }
  std::uint16_t compatibilityWord() const { return image_.compatibilityWord(); }
  const SectorReader& reader() const { return reader_; }
  const FirmwareImage& image() const { return image_; }

 private:
  void openImage();
  bool readerMatchesImage();
  bool enterLoader();
  // The sector loop, "GO" and the final 100; true when "GO" was sent.
  bool transferSectors(MessageTarget& target, unsigned progressMessage);
  // Up to kSectorTries tries of the frame in frameBuffer_; false on failure or cancel.
  bool sendSectorWithRetries(std::uint32_t sectorNumber);
  bool reachedEndOfImage();
  std::uint32_t frameAddress() const;
  void postProgress(MessageTarget& target, unsigned progressMessage);

  std::optional<FirmwareImage> ownImage_;  // before image_, which may refer to it
  const FirmwareImage& image_;
  DownloadObserver* observer_ = nullptr;  // during a run only
  SectorReader reader_;
  std::unique_ptr<std::uint16_t[]> frameBuffer_;
  std::uint32_t frameWords_ = 0;
  bool cancelled_ = false;
  std::int32_t result_ = Success;
  SerialPort port_;
  CancelEvent cancelEvent_;
  char portName_[kPortNameSize] = "COM1";
  std::optional<std::chrono::steady_clock::time_point> goSentAt_;  // of the last run
  double restartSeconds_ = 0;
  bool cancelledAfterGo_ = false;  // the last result 40 came from checkRestart
};

// The text for a result code; any unknown code gives "UNEXPECTED ERROR !".
std::string resultMessageFor(std::int32_t result);

// The line that tells of an instrument that answered `seconds` after "GO".
std::string restartAnsweredMessage(double seconds);

}  // namespace quorvel
