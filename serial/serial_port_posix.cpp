#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <string>
#include <utility>

#include "platform/cancel_event.h"
#include "platform/timing.h"
#include "serial/network_port.h"
#include "serial/port_name.h"
#include "serial/port_report.h"
#include "serial/serial_port.h"
#include "serial/trace.h"
#include "serial/uucp_lock.h"

namespace quorvel {
namespace {

using Clock = std::chrono::steady_clock;

// While output drains, the queue is looked at again after this pause (no busy wait).
constexpr std::uint32_t kDrainPollMs = 2;

constexpr const char* kOpenErrorFormat = "Open RS232 Error (line %d) !!!!\n";

struct BaudCode {
  std::uint32_t rate;
  speed_t code;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool speedCodeFor(std::uint32_t baud, speed_t& code) {
  for (const BaudCode& entry : kBaudCodes) {
    if (entry.rate == baud) {
      code = entry.code;
      return true;
    }
  }
  return false;
}

// One deadline per operation: the end is fixed once, every wait uses what is left of it.
class Deadline {
 public:
  explicit Deadline(std::uint64_t ms) : end_(Clock::now() + std::chrono::milliseconds(ms)) {}

  // Rounded up, so that a wait never ends just before the deadline and spins; 0 once passed.
  int remainingMs() const {
    auto left = end_ - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
  }

 private:
  Clock::time_point end_;
};

enum class WaitResult { kReady, kTimedOut, kCancelled, kFailed };

bool cancelled(const CancelEvent* cancel) {
  return cancel != nullptr && cancel->isSignalled();
}

// Waits until `fd` allows `events`, the deadline passes or `cancel` (if any) is signalled. A
// hang-up or error without the wanted event is a failure: the line is gone.
WaitResult waitFor(int fd, short events, const Deadline& deadline, const CancelEvent* cancel) {
  // An event without a pipe is looked at between slices of this length.
  constexpr int kCancelSliceMs = 20;
  const int cancelFd = cancel != nullptr ? static_cast<int>(cancel->waitHandle()) : -1;
  for (;;) {
    if (cancelled(cancel)) return WaitResult::kCancelled;
    int left = deadline.remainingMs();
    if (left == 0) return WaitResult::kTimedOut;
    if (cancel != nullptr && cancelFd < 0) left = std::min(left, kCancelSliceMs);
    pollfd entries[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};  // -1 is passed over
    int ready = ::poll(entries, 2, left);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kFailed;
    }
    if (ready == 0 || entries[1].revents != 0) continue;  // the loop's checks decide
    if ((entries[0].revents & events) != 0) return WaitResult::kReady;
    return WaitResult::kFailed;
  }
}

bool wouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

std::uint32_t queuedOutput(int fd) {
  int queued = 0;
  if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return static_cast<std::uint32_t>(queued);
}

// Drops the device: the exclusive mode would otherwise outlive us on a terminal that stays
// open elsewhere (a pseudo-terminal's master). The lock goes with the descriptor.
int releaseDevice(int fd) {
  ::ioctl(fd, TIOCNXCL);
  return ::close(fd);
}

// Owns the descriptor while the port is being opened, so that every failing step closes it.
// A borrowed line's exclusive mode is not ours to drop.
class PendingDevice {
 public:
  explicit PendingDevice(int fd, bool ownsExclusiveMode = true)
      : fd_(fd), ownsExclusiveMode_(ownsExclusiveMode) {}
  ~PendingDevice() {
    if (fd_ < 0) return;
    if (ownsExclusiveMode_) {
      releaseDevice(fd_);
    } else {
      ::close(fd_);
    }
  }
  PendingDevice(const PendingDevice&) = delete;
  PendingDevice& operator=(const PendingDevice&) = delete;

  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
  bool ownsExclusiveMode_;
};

OpenFailure failureFor(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return OpenFailure::NoPermission;
    case EBUSY:
    case EWOULDBLOCK:
      return OpenFailure::Busy;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return OpenFailure::Missing;
    case ENOTTY:
      return OpenFailure::NotSerial;
    default:
      return OpenFailure::Other;
  }
}

// A line for the user after the open error: what the failure means for a serial device.
// Null when there is nothing useful to add.
const char* openHintFormat(OpenFailure failure) {
  switch (failure) {
    case OpenFailure::NoPermission:
      return "Permission denied on %s: is the user in the dialout group?\n";
    case OpenFailure::Busy:
      return "%s is in use by another program\n";
    case OpenFailure::Missing:
      return "%s does not exist\n";
    case OpenFailure::NotSerial:
      return "%s is not a serial device\n";
    default:
      return nullptr;
  }
}

void traceOpenError(int step) {
  trace(1, kOpenErrorFormat, step);
}

// Traces the failure and returns its category.
OpenFailure traceDeviceOpenError(int error, const std::string& path) {
  traceOpenError(kStepOpenDevice);
  OpenFailure failure = failureFor(error);
  const char* hint = openHintFormat(failure);
  if (hint != nullptr && !path.empty()) trace(1, hint, path.c_str());
  return failure;
}

// Opens the device for our use alone; -1 (traced, `failure` set) when it cannot be had.
// O_NONBLOCK keeps a device with modem control from blocking the open; the descriptor stays
// non-blocking and every wait goes through poll.
int openExclusive(const std::string& path, OpenFailure& failure) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    failure = traceDeviceOpenError(errno, path);
    return -1;
  }
  PendingDevice device(fd);
  // A typed name must never make us write into a plain file.
  if (!::isatty(fd)) {
    failure = traceDeviceOpenError(ENOTTY, path);
    return -1;
  }
  // flock holds also against root, whom TIOCEXCL does not stop.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
    failure = traceDeviceOpenError(errno, path);
    return -1;
  }
  return device.release();
}

// What a borrowed open found on the line, put back when the port is given up.
struct LineAsFound {
  termios settings{};
  int modemLines = 0;
  bool hasModemLines = false;  // a pseudo-terminal has none
  bool setExclusive = false;   // the exclusive mode is ours to drop
};

// Signs that another program uses the line: its exclusive mode or lock, or data of its own
// waiting in either queue. `exclusiveKnown` tells whether the exclusive mode can be read.
bool lineInUse(int fd, bool& exclusiveKnown) {
  int exclusive = 0;
  exclusiveKnown = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0;
  if (exclusiveKnown && exclusive != 0) return true;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return true;
  int pending = 0;
  if (::ioctl(fd, FIONREAD, &pending) == 0 && pending > 0) return true;
  return queuedOutput(fd) > 0;
}

// Opens a line that may be someone else's: nothing is changed before it is known to be free
// and its state has been taken down in `found`. -1 (traced, `failure` set) when it is not.
int openBorrowed(const std::string& path, LineAsFound& found, OpenFailure& failure) {
  if (uucpLockHeld(path)) {
    failure = traceDeviceOpenError(EBUSY, path);
    return -1;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    failure = traceDeviceOpenError(errno, path);
    return -1;
  }
  PendingDevice device(fd, false);
  if (!::isatty(fd)) {
    failure = traceDeviceOpenError(ENOTTY, path);
    return -1;
  }
  bool exclusiveKnown = false;
  if (lineInUse(fd, exclusiveKnown)) {
    failure = traceDeviceOpenError(EBUSY, path);
    return -1;
  }
  if (::tcgetattr(fd, &found.settings) != 0) {
    traceOpenError(kStepGetState);
    failure = OpenFailure::Other;
    return -1;
  }
  found.hasModemLines = ::ioctl(fd, TIOCMGET, &found.modemLines) == 0;
  // Where the mode cannot be read back, it is left alone: the lock keeps other probes out.
  found.setExclusive = exclusiveKnown && ::ioctl(fd, TIOCEXCL) == 0;
  return device.release();
}

// Puts back what openBorrowed() found and closes the line, emptying nothing.
int giveBack(int fd, const LineAsFound& found) {
  ::tcsetattr(fd, TCSANOW, &found.settings);
  if (found.hasModemLines) ::ioctl(fd, TIOCMSET, &found.modemLines);
  if (found.setExclusive) ::ioctl(fd, TIOCNXCL);
  return ::close(fd);
}

void makeRaw8N1(termios& settings) {
  settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                             ICRNL | IXON | IXOFF | IXANY | INPCK);
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
}

// tcsetattr succeeds when any part of the request was taken: compare what matters.
bool lineSettingsTaken(const termios& wanted, const termios& applied) {
  constexpr tcflag_t kInputFlags = IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK;
  constexpr tcflag_t kControlFlags = CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD;
  constexpr tcflag_t kLocalFlags = ICANON | ECHO | ISIG | IEXTEN;
  return cfgetispeed(&applied) == cfgetispeed(&wanted) &&
         cfgetospeed(&applied) == cfgetospeed(&wanted) &&
         (applied.c_iflag & kInputFlags) == (wanted.c_iflag & kInputFlags) &&
         (applied.c_cflag & kControlFlags) == (wanted.c_cflag & kControlFlags) &&
         (applied.c_lflag & kLocalFlags) == (wanted.c_lflag & kLocalFlags) &&
         (applied.c_oflag & OPOST) == (wanted.c_oflag & OPOST) &&
         applied.c_cc[VMIN] == wanted.c_cc[VMIN] && applied.c_cc[VTIME] == wanted.c_cc[VTIME];
}

bool lacksModemLines(int error) {
  return error == ENOTTY || error == EINVAL;
}

// DTR raised, RTS low; a device without modem lines (a pseudo-terminal) is fine as it is.
bool setModemLines(int fd) {
  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  if (::ioctl(fd, TIOCMBIS, &dtr) != 0 && !lacksModemLines(errno)) return false;
  if (::ioctl(fd, TIOCMBIC, &rts) != 0 && !lacksModemLines(errno)) return false;
  return true;
}

bool configureLine(int fd, termios settings, std::uint32_t baud) {
  speed_t code = B0;
  if (!speedCodeFor(baud, code)) return false;
  makeRaw8N1(settings);
  if (cfsetispeed(&settings, code) != 0 || cfsetospeed(&settings, code) != 0) return false;
  if (::tcsetattr(fd, TCSANOW, &settings) != 0) return false;
  termios applied{};
  if (::tcgetattr(fd, &applied) != 0 || !lineSettingsTaken(settings, applied)) return false;
  return setModemLines(fd);
}

// Empties what was left on the line before us: everything received, and output only when the
// driver still holds some. A pseudo-terminal always reports its output queue empty, and
// flushing it there discards what the far end has not read yet, such as the "GO" that this
// program wrote just before it closed the port and opened it again.
bool discardStaleBytes(int fd) {
  if (::tcflush(fd, TCIFLUSH) != 0) return false;
  return queuedOutput(fd) == 0 || ::tcflush(fd, TCOFLUSH) == 0;
}

// The steps after the device is ours; returns the number of the failing step, 0 when done.
int prepareLine(int fd, std::uint32_t baud) {
  int queued = 0;
  // The kernel's queues have a fixed size; what matters is that their fill can be read,
  // because the drain after each write depends on it.
  if (::ioctl(fd, TIOCOUTQ, &queued) != 0) return kStepQueueSizes;
  if (!discardStaleBytes(fd)) return kStepFirstPurge;
  termios settings{};
  if (::tcgetattr(fd, &settings) != 0) return kStepGetState;
  if (!configureLine(fd, settings, baud)) return kStepSetState;
  if (!discardStaleBytes(fd)) return kStepSecondPurge;
  return 0;
}

// Waits until the driver has sent every byte or the deadline has passed; returns the bytes
// still queued. tcdrain alone could block for ever on a stuck line, so it is called only
// once the queue is known to be empty, to let the last bytes leave the hardware.
std::uint32_t drainOutput(int fd, const Deadline& deadline, const CancelEvent* cancel) {
  for (;;) {
    std::uint32_t queued = queuedOutput(fd);
    if (queued == 0) {
      ::tcdrain(fd);
      return 0;
    }
    int left = deadline.remainingMs();
    if (left == 0 || cancelled(cancel)) return queued;
    sleepMs(std::min<std::uint32_t>(static_cast<std::uint32_t>(left), kDrainPollMs));
  }
}

}  // namespace

// open() and close() keep the state and traces as serial_port_win32.cpp does: change both alike.
struct SerialPort::FoundLine : LineAsFound {};

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
  if (isOpen_ != 0) close();
}

bool SerialPort::open(const char* name, std::uint32_t baud) {
  if (isOpen_ != 0) return false;
  if (name == nullptr) name = "";
  if (std::optional<bool> opened = openIfNetworkPort(name, baud)) return *opened;
  std::string path = posixDevicePath(name);
  auto found = borrowed_ ? std::make_unique<FoundLine>() : nullptr;
  int fd = found ? openBorrowed(path, *found, openFailure_) : openExclusive(path, openFailure_);
  if (fd < 0) return false;
  // A borrowed line is set up without emptying its queues, and put back if that fails.
  const int failedStep = found ? (configureLine(fd, found->settings, baud) ? 0 : kStepSetState)
                               : prepareLine(fd, baud);
  if (failedStep != 0) {
    traceOpenError(failedStep);
    openFailure_ = OpenFailure::Other;
    if (found) {
      giveBack(fd, *found);
    } else {
      releaseDevice(fd);
    }
    return false;
  }
  openFailure_ = OpenFailure::None;
  found_ = std::move(found);
  handle_ = fd;
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
  // A failed close may already have given the descriptor back; closing its number again
  // could hit a descriptor opened since, so it is forgotten before close is called.
  if (handle_ >= 0) {
    int fd = static_cast<int>(std::exchange(handle_, -1));
    const std::unique_ptr<FoundLine> found = std::move(found_);
    // Only the input is discarded: the last write has drained, and on a pseudo-terminal
    // discarding output would also take what the peer has not read yet. A borrowed line
    // keeps even its input, and gets back what it was found with.
    if (!found) ::tcflush(fd, TCIFLUSH);
    if ((found ? giveBack(fd, *found) : releaseDevice(fd)) != 0) {
      trace(1, "Close RS232 Error (line %d) !!!!\n", kStepCloseFailed);
      return false;
    }
  }
  trace(0, "\nSerial port closed\n");
  isOpen_ = 0;
  return true;
}

std::uint32_t SerialPort::read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t timeoutMs) {
  if (isOpen_ == 0) return 0;
  if (network_) return network_->read(buffer, count, timeoutMs, cancelEvent_);
  const int fd = static_cast<int>(handle_);
  Deadline deadline(timeoutMs);
  std::uint32_t received = 0;
  bool failed = false;
  while (received < count) {
    ssize_t got = ::read(fd, buffer + received, count - received);
    if (got > 0) {
      received += static_cast<std::uint32_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && wouldBlock(errno)) {
      WaitResult wait = waitFor(fd, POLLIN, deadline, cancelEvent_);
      if (wait == WaitResult::kReady) continue;
      if (wait != WaitResult::kFailed) break;
    }
    // An error, a hang-up, or readable with nothing to read: the line is gone.
    failed = true;
    break;
  }
  detail::finishRead(buffer, received, count, failed);
  return received;
}

void SerialPort::discardInput() {
  if (isOpen_ == 0) return;
  if (network_) return network_->discardInput(cancelEvent_);
  ::tcflush(static_cast<int>(handle_), TCIFLUSH);
}

std::uint32_t SerialPort::write(const std::uint8_t* buffer, std::uint32_t count) {
  if (isOpen_ == 0) return 0;
  if (network_) return network_->write(buffer, count, cancelEvent_);
  const int fd = static_cast<int>(handle_);
  Deadline deadline(std::uint64_t{timing().writeTimeoutPerByteMs} * count);
  // Pending output is dropped only when there is some. A pseudo-terminal always reports
  // none, yet a flush there would also discard what the peer has not read yet: the tail of
  // the previous write.
  if (queuedOutput(fd) > 0) ::tcflush(fd, TCOFLUSH);
  std::uint32_t written = 0;
  bool failed = false;
  while (written < count) {
    ssize_t put = ::write(fd, buffer + written, count - written);
    if (put > 0) {
      written += static_cast<std::uint32_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && wouldBlock(errno)) {
      WaitResult wait = waitFor(fd, POLLOUT, deadline, cancelEvent_);
      if (wait == WaitResult::kReady) continue;
      if (wait != WaitResult::kFailed) break;
    }
    failed = true;
    break;
  }
  if (failed) {
    detail::finishWrite(buffer, written, count, true);
    return written;
  }
  // Bytes still queued when the time is up have not been written: they are dropped, so
  // that they cannot reach the instrument later, and are not counted.
  std::uint32_t unsent = drainOutput(fd, deadline, cancelEvent_);
  if (unsent > 0) {
    ::tcflush(fd, TCOFLUSH);
    written -= std::min(unsent, written);
  }
  detail::finishWrite(buffer, written, count, false);
  return written;
}

}  // namespace quorvel
