#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The Telnet protocol as a serial device server speaks it, with the Com Port Control option
// (RFC 2217) that lets the client set the remote line: plain coding, no sockets, so that tests
// and the fuzzer drive it directly.
namespace quorvel::telnet {

// Commands.
inline constexpr std::uint8_t kIac = 255;  // "interpret as command"; doubled, a data byte 0xFF
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSubnegotiationBegin = 250;
inline constexpr std::uint8_t kSubnegotiationEnd = 240;

// Options.
inline constexpr std::uint8_t kOptionBinary = 0;
inline constexpr std::uint8_t kOptionSuppressGoAhead = 3;
inline constexpr std::uint8_t kOptionComPort = 44;

// Com Port Control commands of the client; the server answers each with its code plus
// kServerAnswerOffset and the value it applied.
inline constexpr std::uint8_t kSetBaudRate = 1;
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kPurgeData = 12;
inline constexpr std::uint8_t kServerAnswerOffset = 100;

// Values of those commands.
inline constexpr std::uint8_t kQueryValue = 0;  // asks for the current setting
inline constexpr std::uint8_t kDataSize8 = 8;
inline constexpr std::uint8_t kParityNone = 1;
inline constexpr std::uint8_t kStopSize1 = 1;
inline constexpr std::uint8_t kControlNoFlowControl = 1;  // outbound, or both
inline constexpr std::uint8_t kControlDtrOn = 8;
inline constexpr std::uint8_t kControlRtsOff = 12;
inline constexpr std::uint8_t kControlNoInboundFlowControl = 14;
inline constexpr std::uint8_t kPurgeServerReceiveBuffer = 1;  // what the line has received
inline constexpr std::uint8_t kPurgeBothBuffers = 3;

// Data bytes as they travel: each 0xFF doubled. Escapes from `data` as much as fits into
// `out`, never half of a doubled byte; `consumed` tells how many data bytes that was.
// Returns the number of bytes written to `out`.
std::size_t escapeData(std::span<const std::uint8_t> data, std::span<std::uint8_t> out,
                       std::size_t& consumed);

// How many of `data`'s bytes the first `sentBytes` escaped bytes carry whole.
std::size_t dataBytesCarried(std::span<const std::uint8_t> data, std::size_t sentBytes);

// Appends IAC verb option.
void appendNegotiation(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option);
// Appends a Com Port Control command with a one-byte value.
void appendComPortCommand(std::vector<std::uint8_t>& out, std::uint8_t command, std::uint8_t value);
// Appends SET-BAUDRATE, the rate as four bytes in network order.
void appendSetBaudRate(std::vector<std::uint8_t>& out, std::uint32_t baud);

// The receive side: takes the byte stream one byte at a time and tells what each completes.
// Data bytes come out exactly as sent; every command and subnegotiation is consumed.
class Decoder {
 public:
  enum class Kind : std::uint8_t {
    None,            // a byte inside a command
    Data,            // `value` is a data byte
    Negotiation,     // `value` is WILL, WONT, DO or DONT, `option` its option
    Subnegotiation,  // `option` is the option; payload() holds its bytes
  };
  struct Event {
    Kind kind = Kind::None;
    std::uint8_t value = 0;
    std::uint8_t option = 0;
  };

  // Payloads beyond this are consumed but not kept: no answer we read is longer.
  static constexpr std::size_t kMaxPayloadBytes = 16;

  Event push(std::uint8_t byte);
  // The payload of the last Subnegotiation event, cut at kMaxPayloadBytes.
  std::span<const std::uint8_t> payload() const { return {payload_.data(), payloadSize_}; }

 private:
  enum class State : std::uint8_t { Data, Command, Option, SubOption, SubData, SubCommand };

  Event afterIac(std::uint8_t byte);
  void keep(std::uint8_t byte);

  State state_ = State::Data;
  std::uint8_t verb_ = 0;
  std::uint8_t option_ = 0;
  std::array<std::uint8_t, kMaxPayloadBytes> payload_{};
  std::size_t payloadSize_ = 0;
};

// A Com Port Control answer of the server: the command it answers and the value it applied.
struct ComPortAnswer {
  std::uint8_t command = 0;  // the client's command code (the server's code less 100)
  std::uint32_t value = 0;   // the baud rate, or the one-byte value
};

// The answer carried by a subnegotiation payload of the Com Port option; false for anything
// else (a notification, a command too short).
bool parseComPortAnswer(std::span<const std::uint8_t> payload, ComPortAnswer& answer);

// Both sides of the option negotiation, without loops (each side's state: no, asked, yes).
// We offer binary mode both ways and Com Port Control, accept suppress-go-ahead, and refuse
// everything else.
class Negotiation {
 public:
  // Appends what we ask for at the start: WILL BINARY, DO BINARY, WILL COM-PORT-OPTION.
  void start(std::vector<std::uint8_t>& out);
  // Takes a WILL, WONT, DO or DONT of the server and appends our reply, if one is due.
  void receive(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);

  // The server takes Com Port Control, and binary data flows both ways.
  bool complete() const;
  // The server refused Com Port Control, or binary mode one way or the other.
  bool comPortRefused() const;
  bool binaryRefused() const;

 private:
  enum class State : std::uint8_t { No, Asked, Yes };
  struct Side {
    State state = State::No;
    bool refused = false;  // what we asked for was declined
  };

  void ask(Side& side, std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);
  // The server enables or disables an option on one side; `yes` and `no` are our verbs for
  // agreeing and refusing on that side.
  void onEnable(Side& side, std::uint8_t yes, std::uint8_t no, std::uint8_t option,
                std::vector<std::uint8_t>& out);
  void onDisable(Side& side, std::uint8_t no, std::uint8_t option, std::vector<std::uint8_t>& out);
  Side& local(std::uint8_t option);   // what we do (answers to DO/DONT)
  Side& remote(std::uint8_t option);  // what the server does (answers to WILL/WONT)

  Side localBinary_;
  Side localComPort_;
  Side localSuppressGoAhead_;
  Side remoteBinary_;
  Side remoteSuppressGoAhead_;
  Side other_;  // any other option: never enabled
};

}  // namespace quorvel::telnet
