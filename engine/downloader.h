#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "image/sector_reader.h"
#include "platform/cancel_event.h"
#include "platform/message_target.h"
#include "serial/serial_port.h"

namespace quorvel {

// Outcome of the downloader or of its last run.
enum DownloadResult : std::int32_t {
  Success = 0,
  PortNotOpened = 10,
  FilesCorrupted = 20,
  TransferFailed = 30,
  Cancelled = 40,
};

inline constexpr std::uint32_t kTransferBaud = 115200;
inline constexpr std::uint32_t kModbusBaud = 9600;
// Room for a device path on POSIX. The Windows dialog itself passes at most six
// characters ("COM10"), as its port box always did.
inline constexpr std::size_t kPortNameSize = 256;

// The download engine: runs the converter and opens the image at construction, performs
// one complete upgrade per runDownload, deletes the temporary files at destruction.
class Downloader {
 public:
  Downloader();
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Blocks for the whole upgrade; posts `progressMessage` with the percentage to
  // `target`. True only when every sector was acknowledged and "GO" was sent.
  bool runDownload(MessageTarget& target, unsigned progressMessage);
  std::string resultMessage() const;
  bool pollCancel();

  // Keeps at most kPortNameSize - 1 characters of `name`.
  void setPortName(const char* name);
  const char* portName() const { return portName_; }
  CancelEvent& cancelEvent() { return cancelEvent_; }
  std::int32_t result() const { return result_; }
  std::uint16_t compatibilityWord() const { return reader_.compatibilityWord(); }
  const SectorReader& reader() const { return reader_; }

 private:
  void refuseFaultyImage();
  bool enterLoader();
  // The sector loop, "GO" and the final 100; true when "GO" was sent.
  bool transferSectors(MessageTarget& target, unsigned progressMessage);
  // Up to kSectorTries tries of the frame in frameBuffer_; false on failure or cancel.
  bool sendSectorWithRetries(std::uint32_t sectorNumber);
  bool reachedEndOfImage();
  void postProgress(MessageTarget& target, unsigned progressMessage);

  SectorReader reader_;
  std::unique_ptr<std::uint16_t[]> frameBuffer_;
  std::uint32_t frameWords_ = 0;
  bool cancelled_ = false;
  std::int32_t result_ = Success;
  SerialPort port_;
  CancelEvent cancelEvent_;
  char portName_[kPortNameSize] = "COM1";
};

// The text for a result code; any unknown code gives "UNEXPECTED ERROR !".
std::string resultMessageFor(std::int32_t result);

}  // namespace quorvel
