#include <windows.h>

#include <algorithm>
#include <chrono>
#include <span>
#include <string>

#include "platform/cancel_event.h"
#include "platform/timing.h"
#include "serial/network_port.h"
#include "serial/port_name.h"
#include "serial/port_report.h"
#include "serial/serial_port.h"
#include "serial/trace.h"

namespace quorvel {
namespace {

constexpr DWORD kPurgeBoth = PURGE_TXCLEAR | PURGE_RXCLEAR;
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

// A synchronous port cannot wait for its bytes and for an event together: a read that
// watches the cancel event goes in slices of timing().cancelCheckMs within its one deadline,
// and looks at the event between them.
BOOL readInSlices(HANDLE port, ScopedCommTimeouts& timeouts, std::span<std::uint8_t> buffer,
                  std::uint32_t timeoutMs, const CancelEvent& cancel, DWORD& received) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    const DWORD leftMs = left > 0 ? static_cast<DWORD>(left) : 0;
    const DWORD sliceMs = std::min<DWORD>(leftMs, timing().cancelCheckMs);
    timeouts.install(readTimeouts(timeouts.saved(), sliceMs));
    DWORD got = 0;
    const DWORD wanted = static_cast<DWORD>(buffer.size()) - received;
    if (!ReadFile(port, buffer.data() + received, wanted, &got, nullptr)) return FALSE;
    received += got;
    if (received == buffer.size() || sliceMs == leftMs || cancel.isSignalled()) return TRUE;
  }
}

}  // namespace

// open() and close() keep the state and traces as serial_port_posix.cpp does: change both alike.
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
  if (std::optional<bool> opened = openIfNetworkPort(name, baud)) return *opened;
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
  if (network_) return closeNetworkPort();
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
  if (network_) return network_->read(buffer, count, timeoutMs, cancelEvent_);
  HANDLE port = asHandle(handle_);
  ScopedCommTimeouts timeouts(port);
  DWORD received = 0;
  BOOL readOk = FALSE;
  if (cancelEvent_ == nullptr) {
    timeouts.install(readTimeouts(timeouts.saved(), timeoutMs));
    readOk = ReadFile(port, buffer, count, &received, nullptr);
  } else {
    readOk = readInSlices(port, timeouts, {buffer, count}, timeoutMs, *cancelEvent_, received);
  }
  detail::finishRead(buffer, received, count, !readOk);
  return received;
}

void SerialPort::discardInput() {
  if (isOpen_ == 0) return;
  if (network_) return network_->discardInput(cancelEvent_);
  PurgeComm(asHandle(handle_), PURGE_RXABORT | PURGE_RXCLEAR);
}

std::uint32_t SerialPort::write(const std::uint8_t* buffer, std::uint32_t count) {
  if (isOpen_ == 0) return 0;
  if (network_) return network_->write(buffer, count, cancelEvent_);
  HANDLE port = asHandle(handle_);
  ScopedCommTimeouts timeouts(port);
  timeouts.install(writeTimeouts(timeouts.saved()));
  PurgeComm(port, PURGE_TXCLEAR);
  DWORD written = 0;
  const BOOL writeOk = WriteFile(port, buffer, count, &written, nullptr);
  detail::finishWrite(buffer, written, count, !writeOk);
  FlushFileBuffers(port);
  return written;
}

}  // namespace quorvel
