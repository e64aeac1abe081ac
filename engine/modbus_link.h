#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/download_observer.h"
#include "platform/cancel_event.h"
#include "serial/serial_port.h"

namespace quorvel {

inline constexpr std::uint8_t kInstrumentSlaveAddress = 1;
inline constexpr std::uint16_t kLoaderAddressRegister = 0x001C;
inline constexpr std::uint16_t kDownloadOrderValue = 0x0001;
inline constexpr std::size_t kModbusFrameChars = 17;     // request frames
inline constexpr std::uint32_t kModbusAnswerChars = 15;  // read-register answer

// What came back for one read request.
enum class ModbusReply {
  Value,      // a valid answer of our slave; the value was stored
  Exception,  // our slave answered with an exception
  Invalid,    // bytes came, but no valid answer of our slave
  Silent,     // nothing came within the time-out
  NotSent,    // the request could not be written at all
};

// A Modbus ASCII master over a port of its own, for one loader-mode entry.
class ModbusLink {
 public:
  bool open(std::uint8_t slaveAddress, const char* portName, std::uint32_t baud);
  // Before open(), for a probe: the port is borrowed (left as it was found, see
  // SerialPort::setBorrowed), and its waits end when `cancel` (if any) is signalled.
  void borrowPort(const CancelEvent* cancel) {
    port_.setBorrowed(true);
    port_.setCancelEvent(cancel);
  }
  bool close();
  // True only for ModbusReply::Value.
  bool readHoldingRegister(std::uint16_t address, std::uint16_t& value);
  ModbusReply queryHoldingRegister(std::uint16_t address, std::uint16_t& value);
  // The same, with the answer awaited at most `timeoutMs` (and no longer once the link's
  // cancel event is signalled: the caller tells a cancelled query by the event).
  ModbusReply queryHoldingRegister(std::uint16_t address, std::uint16_t& value,
                                   std::uint32_t timeoutMs);
  bool writeSingleRegister(std::uint16_t address, std::uint16_t value);

  // In place: `buffer` holds `count` message bytes and receives the frame; returns 2n + 5.
  // The buffer must hold at least 2 * count + 5 bytes.
  static std::size_t encodeFrame(std::uint8_t* buffer, std::size_t count);
  // In place: `buffer` holds `count` received characters; on success it holds the decoded
  // bytes (LRC included) and `count` their number.
  static bool decodeFrame(std::uint8_t* buffer, std::size_t& count);

  // Why the last open failed.
  OpenFailure openFailure() const { return port_.openFailure(); }
  const char* openFailureReason() const { return port_.openFailureReason(); }
  // The waits of the link's port end early once `event` is signalled.
  void setCancelEvent(const CancelEvent* event) { port_.setCancelEvent(event); }

 private:
  std::uint8_t slaveAddress_ = 1;
  SerialPort port_;
};

// Orders the instrument into its loader. False only when the port could not be opened or
// closed; silence from the instrument is not an error. `cancel` is examined before each
// request and before the download order, ends the port's waits (an open, a read) early and
// the pause that follows the order; the caller tells a cancelled entry by the event.
// `observer`, if given, hears of each attempt and of the outcome.
bool enterLoaderMode(std::uint8_t slaveAddress, const char* portName, std::uint32_t baud,
                     const CancelEvent& cancel, DownloadObserver* observer = nullptr);

}  // namespace quorvel
