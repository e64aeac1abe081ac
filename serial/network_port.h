#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/cancel_event.h"
#include "serial/net_socket.h"
#include "serial/telnet_com_port.h"
#include "serial/trace.h"

namespace quorvel {

// The serial line of a device server, reached over Telnet with Com Port Control: the back
// end that SerialPort uses for an rfc2217:// name. It keeps the local port's contract: the
// same traces and results, reads with a total time-out, writes within the per-byte budget
// that return once the bytes have left this machine. Every wait ends early on `cancel`.
class NetworkPort {
 public:
  explicit NetworkPort(std::string name) : name_(std::move(name)) {}

  // Connects, negotiates binary mode and Com Port Control, and sets the line to `baud`, 8N1,
  // no flow control, DTR on, RTS off; true once the server has confirmed the speed. A failure
  // is traced with its step number and a line saying what happened.
  bool open(std::uint32_t baud, const CancelEvent* cancel);
  std::uint32_t read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t timeoutMs,
                     const CancelEvent* cancel);
  std::uint32_t write(const std::uint8_t* buffer, std::uint32_t count, const CancelEvent* cancel);
  // Has the server drop what its line has received and drops what has reached us.
  void discardInput(const CancelEvent* cancel);
  // Closes the connection once the server has taken everything written.
  void close(const CancelEvent* cancel);

  // What the last open failure was, in a few words; empty after a successful open.
  const char* failureReason() const { return failureReason_.data(); }

 private:
  enum class Setup { Negotiating, SettingLine, Confirmed, Failed };

  void reset();
  // Traces the open error with `step` and the reason; false.
  bool fail(int step, const char* format, ...) QUORVEL_PRINTF_FORMAT(3, 4);
  bool connect(const CancelEvent* cancel);
  bool negotiate(std::uint32_t baud, const CancelEvent* cancel);
  Setup takeSetupBytes(std::uint32_t baud);
  bool setupFailed(Setup setup, std::uint32_t baud, NetStatus status);
  void requestLineSettings(std::uint32_t baud);
  // Decodes one received byte; true when it is a data byte to hand on, in `data`.
  bool consume(std::uint8_t byte, std::uint8_t& data);
  void onComPortAnswer();
  // Decodes buffered bytes into `out` until `room` data bytes are there; null `out` drops
  // them. Returns the number of data bytes given.
  std::size_t takeBuffered(std::uint8_t* out, std::size_t room);
  NetStatus fill(NetClock::time_point deadline, const CancelEvent* cancel);
  // Sends our pending Telnet replies; false when the connection is gone.
  bool sendReplies(const CancelEvent* cancel);
  bool sendCommand(const std::vector<std::uint8_t>& bytes, const CancelEvent* cancel);
  void markBroken();
  // Waits for the server's answer to a speed query sent after the last data.
  void confirmDelivery(const CancelEvent* cancel);
  std::uint32_t sendData(const std::uint8_t* buffer, std::uint32_t count,
                         NetClock::time_point deadline, const CancelEvent* cancel,
                         NetStatus& status);

  static constexpr std::size_t kReceiveBytes = 4096;
  static constexpr std::size_t kSendBytes = 4096;
  static constexpr std::size_t kReasonChars = 160;

  std::string name_;
  NetSocket socket_;
  telnet::Decoder decoder_;
  telnet::Negotiation negotiation_;
  std::vector<std::uint8_t> replies_;  // Telnet replies not sent yet
  std::array<std::uint8_t, kReceiveBytes> received_{};
  std::size_t receivedStart_ = 0;
  std::size_t receivedEnd_ = 0;
  std::array<std::uint8_t, kSendBytes> encoded_{};
  bool broken_ = false;            // the connection failed: every call fails at once
  bool dropData_ = false;          // while opening: nothing received is data yet
  bool lineRequested_ = false;     // the line settings have been sent
  bool serverAcksPurges_ = false;  // the server answered the purge of the open
  bool purgeAnswered_ = false;
  std::uint32_t purgesAwaited_ = 0;  // purges whose answer has not come: data before it is old
  bool unconfirmedData_ = false;     // data written since the server last answered a query
  NetClock::time_point lastWrite_{};
  bool speedAnswered_ = false;
  std::uint32_t answeredSpeed_ = 0;
  std::array<char, kReasonChars> failureReason_{};
};

}  // namespace quorvel
