#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace quorvel {

class CancelEvent;
class NetworkPort;

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
// a step number and reported through the result; nothing throws. A name
// "rfc2217://HOST:PORT" opens the line of a serial device server on the network instead of
// a local device; the calls behave the same.
class SerialPort {
 public:
  SerialPort();
  ~SerialPort();  // closes the port, exactly as close(), if it is open
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // `name` is "COMn", on POSIX a device path, or rfc2217://HOST:PORT. False when already
  // open (untouched).
  bool open(const char* name, std::uint32_t baud);
  // True when the port was open and is now closed.
  bool close();
  // Reads up to `count` bytes; returns when all arrived or `timeoutMs` (counted from the
  // start of the call, no inter-byte time-out) has passed, or early, with what has arrived,
  // once the cancel event (setCancelEvent) is signalled. 0 on a closed port.
  std::uint32_t read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t timeoutMs);
  // Drops pending output, writes all bytes within 30 ms per byte and waits until they have
  // left. Returns the number written; 0 on a closed port.
  std::uint32_t write(const std::uint8_t* buffer, std::uint32_t count);
  // Drops what has been received and not read yet, so that the next read sees only bytes
  // that arrive from now on. Nothing happens on a closed port.
  void discardInput();

  // A probe's use of a line that may belong to someone else. While set, open() empties no
  // queue and refuses as busy a port that shows another user; close() empties no queue and
  // puts back the line settings and modem lines that open() found, and gives up an exclusive
  // mode only when open() set it. Off (the default): the upgrade's own opens, which empty
  // the queues and keep the port to themselves. A network port is never shared: the flag
  // changes nothing there.
  void setBorrowed(bool borrowed) { borrowed_ = borrowed; }

  bool isOpen() const { return isOpen_ != 0; }
  // Set by every open() that gets past the already-open check; traces are not affected.
  OpenFailure openFailure() const { return openFailure_; }
  // The descriptor (POSIX) or HANDLE (Windows) of the open port, for diagnostics and tests
  // that look at the driver's state; meaningless while the port is closed.
  std::intptr_t nativeHandle() const { return handle_; }

  // While set, the port's blocking waits end early once `event` is signalled: a read returns
  // what it has, like a time-out, a write stops, and an open of a network port fails. Null
  // (the default): they run their course. The event must outlive its use here.
  void setCancelEvent(const CancelEvent* event) { cancelEvent_ = event; }
  // What the last failed open of a network port ran into, in a few words; null otherwise.
  const char* openFailureReason() const;

 private:
  // For an rfc2217:// name: the network back end's open; nullopt for any other name.
  std::optional<bool> openIfNetworkPort(const char* name, std::uint32_t baud);
  bool closeNetworkPort();
  // What a borrowed open found on the line, to be put back at close; one per back end.
  struct FoundLine;

  std::intptr_t handle_ = -1;  // file descriptor on POSIX, HANDLE on Windows
  std::uint8_t isOpen_ = 0;
  OpenFailure openFailure_ = OpenFailure::None;
  std::unique_ptr<NetworkPort> network_;  // the back end of a network name, once opened
  const CancelEvent* cancelEvent_ = nullptr;
  bool borrowed_ = false;
  std::unique_ptr<FoundLine> found_;  // while a borrowed open holds the port
};

}  // namespace quorvel
