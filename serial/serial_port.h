#pragma once

#include <cstdint>

#include "platform/cancel_event.h"

namespace quorvel {

// Trace step numbers: each identifies the call that failed.
inline constexpr int kStepOpenDevice = 238;
inline constexpr int kStepQueueSizes = 246;
inline constexpr int kStepFirstPurge = 254;
inline constexpr int kStepGetState = 264;
inline constexpr int kStepSetState = 302;
inline constexpr int kStepSecondPurge = 309;
inline constexpr int kStepReadError = 111;
inline constexpr int kStepWriteError = 183;
inline constexpr int kStepShortWrite = 187;
inline constexpr int kStepCloseFailed = 355;
inline constexpr int kStepCloseNotOpen = 368;

inline constexpr std::uint32_t kSerialQueueBytes = 65536;

// Why the last open() failed, in the terms a user can act on.
enum class OpenFailure : std::uint8_t {
  None,          // the last open succeeded, or none was tried
  Missing,       // no such device
  Busy,          // another program holds the port
  NoPermission,  // the user may not open the device
  NotSerial,     // the name leads to something that is not a serial device
  Other,         // any other failure, including the line settings being refused
};

// The RS232 line to the instrument: 8N1, no flow control, DTR raised, RTS low. Every read
// and write sets its own time-outs for the duration of the call. Failures are traced with
// a step number and reported through the result; nothing throws.
class SerialPort {
 public:
  SerialPort() = default;
  ~SerialPort();  // closes the port, exactly as close(), if it is open
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // `name` is "COMn" or, on POSIX, a device path. False when already open (untouched).
  bool open(const char* name, std::uint32_t baud);
  // True when the port was open and is now closed.
  bool close();
  // Reads up to `count` bytes; returns when all arrived or `timeoutMs` (counted from the
  // start of the call, no inter-byte time-out) has passed. 0 on a closed port.
  std::uint32_t read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t timeoutMs) {
    return readWithin(buffer, count, timeoutMs, nullptr);
  }
  // As above, and ends early, with what has arrived, once `cancel` is signalled.
  std::uint32_t read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t timeoutMs,
                     const CancelEvent& cancel) {
    return readWithin(buffer, count, timeoutMs, &cancel);
  }
  // Drops pending output, writes all bytes within 30 ms per byte and waits until they have
  // left. Returns the number written; 0 on a closed port.
  std::uint32_t write(const std::uint8_t* buffer, std::uint32_t count);
  // Drops what has been received and not read yet, so that the next read sees only bytes
  // that arrive from now on. Nothing happens on a closed port.
  void discardInput();

  bool isOpen() const { return isOpen_ != 0; }
  // Set by every open() that gets past the already-open check; traces are not affected.
  OpenFailure openFailure() const { return openFailure_; }
  // The descriptor (POSIX) or HANDLE (Windows) of the open port, for diagnostics and tests
  // that look at the driver's state; meaningless while the port is closed.
  std::intptr_t nativeHandle() const { return handle_; }

 private:
  std::uint32_t readWithin(std::uint8_t* buffer, std::uint32_t count, std::uint32_t timeoutMs,
                           const CancelEvent* cancel);

  std::intptr_t handle_ = -1;  // file descriptor on POSIX, HANDLE on Windows
  std::uint8_t isOpen_ = 0;
  OpenFailure openFailure_ = OpenFailure::None;
};

}  // namespace quorvel
