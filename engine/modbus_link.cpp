#include "engine/modbus_link.h"

#include <array>

#include "platform/timing.h"
#include "serial/trace.h"

namespace quorvel {
namespace {

inline constexpr std::uint8_t kFrameStart = ':';
inline constexpr std::uint8_t kCarriageReturn = '\r';
inline constexpr std::uint8_t kLineFeed = '\n';
inline constexpr std::uint8_t kReadHoldingRegisters = 0x03;
inline constexpr std::uint8_t kWriteSingleRegister = 0x06;
inline constexpr std::uint8_t kExceptionBit = 0x80;
inline constexpr std::uint16_t kOneRegister = 1;
inline constexpr std::size_t kMinFrameChars = 11;
// Address, function, byte count, value high, value low, then the LRC: an answer with fewer
// bytes has no value of its own and counts as no answer.
inline constexpr std::size_t kMinAnswerBytes = 6;
inline constexpr const char* kHexDigits = "0123456789ABCDEF";

std::uint8_t highByte(std::uint16_t value) {
  return static_cast<std::uint8_t>(value >> 8);
}
std::uint8_t lowByte(std::uint16_t value) {
  return static_cast<std::uint8_t>(value & 0xFFu);
}

// Only "0"-"9" and upper-case "A"-"F" are digits of a frame; -1 for anything else.
int digitValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A request: slave address, function, then two 16-bit fields high byte first.
using Request = std::array<std::uint8_t, kModbusFrameChars>;

std::size_t buildRequest(Request& buffer, std::uint8_t slave, std::uint8_t function,
                         std::uint16_t first, std::uint16_t second) {
  buffer = {slave, function, highByte(first), lowByte(first), highByte(second), lowByte(second)};
  return ModbusLink::encodeFrame(buffer.data(), 6);
}

}  // namespace

std::size_t ModbusLink::encodeFrame(std::uint8_t* buffer, std::size_t count) {
  std::uint8_t sum = 0;
  // Backwards, so that each byte's two characters only overwrite bytes already converted.
  for (std::size_t i = count; i-- > 0;) {
    const std::uint8_t byte = buffer[i];
    sum = static_cast<std::uint8_t>(sum + byte);
    buffer[2 * i + 1] = static_cast<std::uint8_t>(kHexDigits[byte >> 4]);
    buffer[2 * i + 2] = static_cast<std::uint8_t>(kHexDigits[byte & 0x0Fu]);
  }
  buffer[0] = kFrameStart;
  const auto lrc = static_cast<std::uint8_t>(-sum);
  buffer[2 * count + 1] = static_cast<std::uint8_t>(kHexDigits[lrc >> 4]);
  buffer[2 * count + 2] = static_cast<std::uint8_t>(kHexDigits[lrc & 0x0Fu]);
  buffer[2 * count + 3] = kCarriageReturn;
  buffer[2 * count + 4] = kLineFeed;
  return 2 * count + 5;
}

bool ModbusLink::decodeFrame(std::uint8_t* buffer, std::size_t& count) {
  if (count < kMinFrameChars || buffer[0] != kFrameStart || buffer[count - 1] != kLineFeed ||
      buffer[count - 2] != kCarriageReturn) {
    return false;
  }
  const std::size_t carriageReturnAt = count - 2;
  std::size_t decoded = 0;
  std::uint8_t sum = 0;
  // An odd number of digits makes the last pair take in the CR, which is not a digit.
  for (std::size_t pos = 1; pos < carriageReturnAt; pos += 2) {
    const int high = digitValue(buffer[pos]);
    const int low = digitValue(buffer[pos + 1]);
    if (high < 0 || low < 0) return false;
    const auto byte = static_cast<std::uint8_t>(high * 16 + low);
    buffer[decoded++] = byte;
    sum = static_cast<std::uint8_t>(sum + byte);
  }
  if (sum != 0) return false;
  count = decoded;
  return true;
}

bool ModbusLink::open(std::uint8_t slaveAddress, const char* portName, std::uint32_t baud) {
  slaveAddress_ = slaveAddress;
  return port_.open(portName, baud);
}

bool ModbusLink::close() {
  return port_.close();
}

bool ModbusLink::readHoldingRegister(std::uint16_t address, std::uint16_t& value) {
  return queryHoldingRegister(address, value) == ModbusReply::Value;
}

ModbusReply ModbusLink::queryHoldingRegister(std::uint16_t address, std::uint16_t& value) {
  return queryHoldingRegister(address, value, timing().modbusReadTimeoutMs);
}

ModbusReply ModbusLink::queryHoldingRegister(std::uint16_t address, std::uint16_t& value,
                                             std::uint32_t timeoutMs) {
  Request buffer{};
  const std::size_t length =
      buildRequest(buffer, slaveAddress_, kReadHoldingRegisters, address, kOneRegister);
  if (port_.write(buffer.data(), static_cast<std::uint32_t>(length)) == 0) {
    return ModbusReply::NotSent;
  }

  std::size_t received = port_.read(buffer.data(), kModbusAnswerChars, timeoutMs);
  if (received == 0) return ModbusReply::Silent;
  if (!decodeFrame(buffer.data(), received)) return ModbusReply::Invalid;
  // A valid frame holds at least four bytes: address, function, one more, the LRC.
  if (buffer[0] != slaveAddress_) return ModbusReply::Invalid;
  if ((buffer[1] & kExceptionBit) != 0) return ModbusReply::Exception;
  if (received < kMinAnswerBytes) return ModbusReply::Invalid;
  value = static_cast<std::uint16_t>(buffer[3] * 256 + buffer[4]);
  return ModbusReply::Value;
}

bool ModbusLink::writeSingleRegister(std::uint16_t address, std::uint16_t value) {
  Request buffer{};
  const std::size_t length =
      buildRequest(buffer, slaveAddress_, kWriteSingleRegister, address, value);
  return port_.write(buffer.data(), static_cast<std::uint32_t>(length)) != 0;
}

namespace {

// The register read, in up to kModbusReadAttempts attempts, then the download order.
// Nothing more is sent once a cancel has been requested.
LoaderEntryOutcome orderLoader(ModbusLink& link, const CancelEvent& cancel,
                               DownloadObserver& observer) {
  for (int attempt = 1; attempt <= kModbusReadAttempts; ++attempt) {
    if (cancel.isSignalled()) return LoaderEntryOutcome::Cancelled;
    observer.loaderEntryAttempt(static_cast<std::uint32_t>(attempt));
    trace(1, "Trying to read Modbus adress to write download order(attempt %d)\n", attempt);
    std::uint16_t announced = 0;
    if (link.readHoldingRegister(kLoaderAddressRegister, announced)) {
      if (cancel.isSignalled()) return LoaderEntryOutcome::Cancelled;
      // 16-bit on purpose: an announced 0xFFFF orders register 0x0000.
      return link.writeSingleRegister(static_cast<std::uint16_t>(announced + 1),
                                      kDownloadOrderValue)
                 ? LoaderEntryOutcome::OrderWritten
                 : LoaderEntryOutcome::OrderNotWritten;
    }
  }
  trace(1, "No response from the remote device (Device already in loader mode ?)\n");
  return LoaderEntryOutcome::NoAnswer;
}

}  // namespace

bool enterLoaderMode(std::uint8_t slaveAddress, const char* portName, std::uint32_t baud,
                     const CancelEvent& cancel, DownloadObserver* observer) {
  DownloadObserver silent;
  DownloadObserver& report = observer != nullptr ? *observer : silent;
  ModbusLink link;
  link.setCancelEvent(&cancel);
  if (!link.open(slaveAddress, portName, baud)) {
    report.loaderEntryEnded(LoaderEntryOutcome::PortNotOpened);
    return false;
  }
  const LoaderEntryOutcome outcome = orderLoader(link, cancel, report);
  report.loaderEntryEnded(outcome);
  // The pause lets the instrument start its loader; a cancel ends it at once.
  if (outcome != LoaderEntryOutcome::Cancelled) cancel.waitFor(timing().loaderEntryPauseMs);
  return link.close();
}

}  // namespace quorvel
