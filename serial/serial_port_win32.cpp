#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/cancel_event.h"
#include "platform/timing.h"
#include "serial/line_monitor.h"
#include "serial/port_name.h"
#include "serial/serial_port.h"
#include "serial/trace.h"

namespace quorvel {
namespace {

constexpr DWORD kPurgeBoth = PURGE_TXCLEAR | PURGE_RXCLEAR;
// A synchronous read cannot be woken by an event: with a cancel event set, a read is made of
// reads of at most this long, and the event is looked at between them.
constexpr DWORD kCancelSliceMs = 50;
constexpr BYTE kXonChar = 0x28;
constexpr BYTE kXoffChar = 0x29;

HANDLE asHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

void applyLineSettings(DCB& dcb, DWORD baud) {
  dcb.BaudRate = baud;
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fTXContinueOnXoff = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = 0;
  dcb.wReserved = 0;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = static_cast<char>(kXonChar);
  dcb.XoffChar = static_cast<char>(kXoffChar);
  dcb.ErrorChar = 0;
  dcb.EvtChar = 0;
}

OpenFailure failureFor(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return OpenFailure::Missing;
    // Windows refuses a second open of a COM port with "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return OpenFailure::Busy;
    default:
      return OpenFailure::Other;
  }
}

// A device that takes no queue sizes or line state is no serial port (a file, a printer).
OpenFailure failureForStep(int step) {
  return step == kStepQueueSizes || step == kStepGetState ? OpenFailure::NotSerial
                                                          : OpenFailure::Other;
}

// The steps after the port is ours; returns the number of the failing step, 0 when done.
int prepareLine(HANDLE port, DWORD baud) {
  if (!SetupComm(port, kSerialQueueBytes, kSerialQueueBytes)) return kStepQueueSizes;
  if (!PurgeComm(port, kPurgeBoth)) return kStepFirstPurge;
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(port, &dcb)) return kStepGetState;
  applyLineSettings(dcb, baud);
  if (!SetCommState(port, &dcb)) return kStepSetState;
  if (!PurgeComm(port, kPurgeBoth)) return kStepSecondPurge;
  return 0;
}

// A borrowed line: the state it had is read, nothing is emptied, and the queue sizes are left
// to the driver. Returns the number of the failing step, 0 when done.
int borrowLine(HANDLE port, DWORD baud, DCB& found) {
  found = DCB{};
  found.DCBlength = sizeof(found);
  if (!GetCommState(port, &found)) return kStepGetState;
  DCB dcb = found;
  applyLineSettings(dcb, baud);
  if (!SetCommState(port, &dcb)) return kStepSetState;
  return 0;
}

// Puts the time-outs the port had back when the call ends, whatever the call did.
class ScopedCommTimeouts {
 public:
  explicit ScopedCommTimeouts(HANDLE port) : port_(port) { GetCommTimeouts(port_, &saved_); }
  ~ScopedCommTimeouts() { SetCommTimeouts(port_, &saved_); }
  ScopedCommTimeouts(const ScopedCommTimeouts&) = delete;
  ScopedCommTimeouts& operator=(const ScopedCommTimeouts&) = delete;

  const COMMTIMEOUTS& saved() const { return saved_; }
  void install(COMMTIMEOUTS working) { SetCommTimeouts(port_, &working); }

 private:
  HANDLE port_;
  COMMTIMEOUTS saved_{};
};

COMMTIMEOUTS readTimeouts(COMMTIMEOUTS timeouts, DWORD timeoutMs) {
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = timeoutMs;
  // All three at zero would mean "no time-out": a read would wait for its last byte for
  // ever. A zero time-out returns at once with what has arrived instead.
  if (timeoutMs == 0) timeouts.ReadIntervalTimeout = MAXDWORD;
  return timeouts;
}

COMMTIMEOUTS writeTimeouts(COMMTIMEOUTS timeouts) {
  timeouts.WriteTotalTimeoutMultiplier = timing().writeTimeoutPerByteMs;
  timeouts.WriteTotalTimeoutConstant = 0;
  return timeouts;
}

// Reads in slices, so that `cancel` is seen within one slice; ends like a single read at the
// total time-out. False when a read failed.
bool readWatchingCancel(HANDLE port, std::uint8_t* buffer, DWORD count, DWORD timeoutMs,
                        const CancelEvent& cancel, ScopedCommTimeouts& timeouts, DWORD& received) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  received = 0;
  for (;;) {
    if (cancel.isSignalled()) return true;
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < end ? static_cast<DWORD>(end - now) : 0;
    timeouts.install(readTimeouts(timeouts.saved(), std::min(left, kCancelSliceMs)));
    DWORD got = 0;
    if (!ReadFile(port, buffer + received, count - received, &got, nullptr)) return false;
    received += got;
    if (received == count || left <= kCancelSliceMs) return true;
  }
}

}  // namespace

// The line settings (with the modem line control) a borrowed open found.
struct SerialPort::FoundLine {
  DCB dcb{};
};

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
  if (isOpen_ != 0) close();
}

bool SerialPort::open(const char* name, std::uint32_t baud) {
  if (isOpen_ != 0) return false;
  if (name == nullptr) name = "";
  std::string path = win32DevicePath(name);
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  handle_ = reinterpret_cast<std::intptr_t>(port);
  if (port == INVALID_HANDLE_VALUE) {
    openFailure_ = failureFor(GetLastError());
    trace(1, "Open RS232 Error (line %d) !!!!\n", kStepOpenDevice);
    return false;
  }
  auto found = borrowed_ ? std::make_unique<FoundLine>() : nullptr;
  const int failedStep = found ? borrowLine(port, baud, found->dcb) : prepareLine(port, baud);
  if (failedStep != 0) {
    openFailure_ = failureForStep(failedStep);
    trace(1, "Open RS232 Error (line %d) !!!!\n", failedStep);
    CloseHandle(port);
    handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
    return false;
  }
  openFailure_ = OpenFailure::None;
  found_ = std::move(found);
  isOpen_ = 1;
  trace(0, "\nSerial port %s opened at %dbds\n", name, static_cast<int>(baud));
  return true;
}

bool SerialPort::close() {
  if (isOpen_ == 0) {
    trace(1, "Close RSS32 Error (line %d) !!!!\n", kStepCloseNotOpen);
    return false;
  }
  HANDLE port = asHandle(handle_);
  // Only the input queue: a close follows a write that has been flushed, and purging the
  // output could still drop its tail where the flush returns before the peer has the bytes
  // (a USB adapter's own buffer, Wine on a pseudo-terminal), and the closing "GO" with it.
  // A borrowed line gets the settings it had back instead, with nothing emptied.
  if (found_) {
    SetCommState(port, &found_->dcb);
  } else {
    PurgeComm(port, PURGE_RXCLEAR);
  }
  found_.reset();
  if (!CloseHandle(port)) {
    trace(1, "Close RS232 Error (line %d) !!!!\n", kStepCloseFailed);
    return false;
  }
  trace(0, "\nSerial port closed\n");
  handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
  isOpen_ = 0;
  return true;
}

std::uint32_t SerialPort::read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t timeoutMs) {
  if (isOpen_ == 0) return 0;
  HANDLE port = asHandle(handle_);
  ScopedCommTimeouts timeouts(port);
  DWORD received = 0;
  BOOL readOk = FALSE;
  if (cancel_ != nullptr) {
    readOk = readWatchingCancel(port, buffer, count, timeoutMs, *cancel_, timeouts, received);
  } else {
    timeouts.install(readTimeouts(timeouts.saved(), timeoutMs));
    readOk = ReadFile(port, buffer, count, &received, nullptr);
  }
  detail::reportReceived(buffer, received);
  if (!readOk) {
    trace(1, "RS232 READ ERROR (line %d)\n", kStepReadError);
  } else if (received < count) {
    trace(0, "RS232 READ TIMEOUT\n");
  }
  return received;
}

void SerialPort::discardInput() {
  if (isOpen_ != 0) PurgeComm(asHandle(handle_), PURGE_RXABORT | PURGE_RXCLEAR);
}

std::uint32_t SerialPort::write(const std::uint8_t* buffer, std::uint32_t count) {
  if (isOpen_ == 0) return 0;
  HANDLE port = asHandle(handle_);
  ScopedCommTimeouts timeouts(port);
  timeouts.install(writeTimeouts(timeouts.saved()));
  PurgeComm(port, PURGE_TXCLEAR);
  DWORD written = 0;
  const BOOL writeOk = WriteFile(port, buffer, count, &written, nullptr);
  detail::reportSent(buffer, written);
  if (!writeOk) {
    trace(1, "RS232 WRITE ERROR (line %d)\n", kStepWriteError);
  } else if (written < count) {
    trace(1, "RS232 WRITE ERROR (line %d) : %lu char written instead of %lu\n", kStepShortWrite,
          static_cast<unsigned long>(written), static_cast<unsigned long>(count));
  }
  FlushFileBuffers(port);
  return written;
}

}  // namespace quorvel
