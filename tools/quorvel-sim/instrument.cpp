#include "tools/quorvel-sim/instrument.h"

#include <vector>

#include "tools/quorvel-sim/modbus_ascii.h"

namespace quorvel::sim {
namespace {

constexpr std::uint8_t kExceptionFlag = 0x80;
constexpr std::uint8_t kIllegalFunction = 0x01;
constexpr std::uint8_t kIllegalDataAddress = 0x02;
constexpr std::uint8_t kIllegalDataValue = 0x03;
constexpr std::uint8_t kDeviceFailure = 0x04;  // what --modbus-exception answers
constexpr std::size_t kRequestBytes = 6;       // address, function, two 16-bit fields

std::uint16_t wordAt(std::span<const std::uint8_t> bytes, std::size_t byteOffset) {
  return static_cast<std::uint16_t>(bytes[byteOffset] | bytes[byteOffset + 1] << 8);
}

std::uint16_t bigEndianAt(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

bool isModbusRequest(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return bytes.size() % 2 == 1 && decodeModbusAscii(text).has_value();
}

}  // namespace

const char* verdictName(FrameVerdict verdict) {
  switch (verdict) {
    case FrameVerdict::Accepted:
      return "accepted";
    case FrameVerdict::BadLength:
      return "bad length";
    case FrameVerdict::BadChecksum:
      return "bad checksum";
    case FrameVerdict::BadCompat:
      return "compatibility mismatch";
    case FrameVerdict::InjectedReject:
      return "rejected on purpose";
    case FrameVerdict::InjectedSilence:
      return "left unanswered on purpose";
    case FrameVerdict::InjectedGarbage:
      return "answered with garbage on purpose";
    case FrameVerdict::Muted:
      return "not answered: muted after an earlier sector";
    case FrameVerdict::CloseOrder:
      return "closing order";
    case FrameVerdict::ModbusIgnored:
      return "Modbus request ignored in loader mode";
  }
  return "?";
}

bool splitSectorFrame(std::span<const std::uint8_t> bytes, SectorFrame& frame) {
  if (bytes.size() < kMinFrameBytes || bytes.size() > kMaxFrameBytes || bytes.size() % 2 != 0) {
    return false;
  }
  const std::size_t trailer = bytes.size() - 6;
  frame.address = static_cast<std::uint32_t>(wordAt(bytes, 0)) << 16 | wordAt(bytes, 2);
  frame.data = bytes.subspan(4, trailer - 4);
  frame.checksum = wordAt(bytes, trailer) | static_cast<std::uint32_t>(wordAt(bytes, trailer + 2))
                                                << 16;
  frame.compat = wordAt(bytes, trailer + 4);
  return true;
}

std::uint32_t dataChecksum(const SectorFrame& frame) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < frame.data.size(); i += 2) sum += wordAt(frame.data, i);
  return sum;
}

Instrument::Instrument(const SimOptions& options)
    : options_(options), loaderMode_(options.silentModbus) {}

ModbusReply Instrument::onModbusFrame(std::string_view frame) {
  const auto request = decodeModbusAscii(frame);
  if (!request || request->size() < 2) return {{}, "invalid frame (delimiters, digits or LRC)"};
  if ((*request)[0] != kInstrumentAddress) return {{}, "addressed to another slave"};
  const std::uint8_t function = (*request)[1];
  if (options_.modbusException) {
    return {modbusException(function, kDeviceFailure), "exception on purpose"};
  }
  if (function == kReadHoldingRegisters) return answerRead(*request);
  if (function == kWriteSingleRegister) return answerWrite(*request);
  return {modbusException(function, kIllegalFunction), "unsupported function"};
}

ModbusReply Instrument::answerRead(const std::vector<std::uint8_t>& request) {
  if (request.size() != kRequestBytes) {
    return {modbusException(request[1], kIllegalDataValue), "malformed read"};
  }
  if (bigEndianAt(request, 2) != kLoaderAddressRegister || bigEndianAt(request, 4) != 1) {
    return {modbusException(request[1], kIllegalDataAddress), "read of an unknown register"};
  }
  const std::uint16_t value = options_.registerValue;
  return {modbusAnswer({kInstrumentAddress, kReadHoldingRegisters, 2,
                        static_cast<std::uint8_t>(value >> 8),
                        static_cast<std::uint8_t>(value & 0xFF)}),
          "register value"};
}

ModbusReply Instrument::answerWrite(const std::vector<std::uint8_t>& request) {
  if (request.size() != kRequestBytes) {
    return {modbusException(request[1], kIllegalDataValue), "malformed write"};
  }
  ModbusReply reply{modbusAnswer(request), "echo of the write"};
  const auto orderRegister = static_cast<std::uint16_t>(options_.registerValue + 1);
  if (bigEndianAt(request, 2) == orderRegister && bigEndianAt(request, 4) == kDownloadOrderValue) {
    loaderMode_ = true;
    reply.enteredLoader = true;
    reply.note = "download order: loader mode";
  }
  return reply;
}

std::string Instrument::modbusAnswer(std::vector<std::uint8_t> message) const {
  message[0] = options_.answerAddress;
  return encodeModbusAscii(message, options_.modbusLowercase ? HexCase::Lower : HexCase::Upper);
}

std::string Instrument::modbusException(std::uint8_t function, std::uint8_t code) const {
  return modbusAnswer(
      {kInstrumentAddress, static_cast<std::uint8_t>(function | kExceptionFlag), code});
}

std::string Instrument::ack(char first) const {
  std::string answer(1, first);
  if (options_.ackBytes == 2) answer += kAckSecondByte;
  return answer;
}

bool Instrument::takeFault(std::map<std::uint32_t, std::uint32_t>& faults, std::uint32_t sector) {
  auto it = faults.find(sector);
  if (it == faults.end() || it->second == 0) return false;
  --it->second;
  return true;
}

FrameVerdict Instrument::injectedFault(std::uint32_t sector) {
  if (takeFault(options_.silentSectors, sector)) return FrameVerdict::InjectedSilence;
  if (takeFault(options_.garbageSectors, sector)) return FrameVerdict::InjectedGarbage;
  if (takeFault(options_.rejectSectors, sector)) return FrameVerdict::InjectedReject;
  return FrameVerdict::Accepted;
}

FrameVerdict Instrument::checkFrame(std::span<const std::uint8_t> bytes, SectorFrame& frame) const {
  if (!splitSectorFrame(bytes, frame)) return FrameVerdict::BadLength;
  if (dataChecksum(frame) != frame.checksum) return FrameVerdict::BadChecksum;
  if (options_.expectCompat && frame.compat != options_.expectedCompat) {
    return FrameVerdict::BadCompat;
  }
  return FrameVerdict::Accepted;
}

LoaderReply Instrument::onLoaderFrame(std::span<const std::uint8_t> bytes) {
  LoaderReply reply;
  reply.sector = currentSector();
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text == kCloseOrder) {
    reply.verdict = FrameVerdict::CloseOrder;
    return reply;
  }
  if (isModbusRequest(bytes)) {
    reply.verdict = FrameVerdict::ModbusIgnored;
    return reply;
  }
  if (options_.muteAfterSector != 0 && acceptedSectors_ >= options_.muteAfterSector) {
    reply.verdict = FrameVerdict::Muted;
    return reply;
  }
  // An injected fault takes its turn whatever the frame holds: it counts arrivals.
  reply.verdict = checkFrame(bytes, reply.frame);
  if (const FrameVerdict injected = injectedFault(reply.sector);
      injected != FrameVerdict::Accepted) {
    reply.verdict = injected;
  }
  switch (reply.verdict) {
    case FrameVerdict::Accepted: {
      std::vector<std::uint16_t> words(reply.frame.words());
      for (std::size_t i = 0; i < words.size(); ++i) words[i] = wordAt(reply.frame.data, 2 * i);
      image_.write(reply.frame.address, words);
      ++acceptedSectors_;
      reply.answer = ack(kAckAccepted);
      reply.dropLine = reply.sector == options_.dropAfterSector;
      if (reply.sector == options_.lateSector) {
        reply.delay = std::chrono::milliseconds(options_.lateMs);
      }
      break;
    }
    case FrameVerdict::InjectedSilence:
      break;
    case FrameVerdict::InjectedGarbage:
      reply.answer = ack(kAckGarbage);
      break;
    default:
      reply.answer = ack(kAckRejected);
      break;
  }
  return reply;
}

}  // namespace quorvel::sim
