#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "tools/quorvel-sim/sim_options.h"
#include "tools/quorvel-sim/word_image.h"

namespace quorvel::sim {

inline constexpr std::uint16_t kLoaderAddressRegister = 0x001C;
inline constexpr std::uint16_t kDownloadOrderValue = 1;
inline constexpr std::uint8_t kReadHoldingRegisters = 0x03;
inline constexpr std::uint8_t kWriteSingleRegister = 0x06;
inline constexpr char kAckAccepted = 'G';
inline constexpr char kAckRejected = 'B';
inline constexpr char kAckGarbage = 'X';
inline constexpr char kAckSecondByte = '\r';
inline constexpr std::string_view kCloseOrder = "GO";
// The host's frame buffer holds 32000 words; nothing longer can be a sector frame.
inline constexpr std::size_t kMaxFrameBytes = 2 * 32000;
inline constexpr std::size_t kMinFrameBytes = 10;  // address, checksum and compat words

enum class FrameVerdict {
  Accepted,
  BadLength,
  BadChecksum,
  BadCompat,
  InjectedReject,
  InjectedSilence,
  InjectedGarbage,
  Muted,          // --mute-after-sector: the instrument no longer answers
  CloseOrder,     // "GO"
  ModbusIgnored,  // a Modbus request reaching the loader: a loader does not speak Modbus
};

const char* verdictName(FrameVerdict verdict);

// A sector frame as it travels: words low byte first; address high word, address low word,
// data words, checksum low word, checksum high word, compatibility word.
struct SectorFrame {
  std::uint32_t address = 0;
  std::span<const std::uint8_t> data;  // 2 bytes per data word, low byte first
  std::uint32_t checksum = 0;
  std::uint16_t compat = 0;
  std::size_t words() const { return data.size() / 2; }
};

// Splits a frame into its fields; false when its length cannot be a sector frame.
bool splitSectorFrame(std::span<const std::uint8_t> bytes, SectorFrame& frame);
std::uint32_t dataChecksum(const SectorFrame& frame);

struct ModbusReply {
  std::string answer;  // empty: no answer
  std::string note;    // why, for the log
  bool enteredLoader = false;
};

struct LoaderReply {
  FrameVerdict verdict = FrameVerdict::BadLength;
  std::string answer;  // empty: no answer
  std::uint32_t sector = 0;
  SectorFrame frame;
  bool dropLine = false;               // close the line once the answer has gone
  std::chrono::milliseconds delay{0};  // send the answer only this long after the frame
};

// The instrument's protocol behaviour, free of any I/O: frames in, answers out.
class Instrument {
 public:
  explicit Instrument(const SimOptions& options);

  bool loaderMode() const { return loaderMode_; }
  // After "GO": the new firmware runs, a Modbus slave again.
  void restart() { loaderMode_ = false; }
  // A complete ":" ... CR LF frame received in normal operation.
  ModbusReply onModbusFrame(std::string_view frame);
  // A frame received in loader mode (ended by a quiet line).
  LoaderReply onLoaderFrame(std::span<const std::uint8_t> bytes);

  std::uint32_t currentSector() const { return acceptedSectors_ + 1; }
  const WordImage& image() const { return image_; }

 private:
  ModbusReply answerRead(const std::vector<std::uint8_t>& request);
  ModbusReply answerWrite(const std::vector<std::uint8_t>& request);
  std::string modbusAnswer(std::vector<std::uint8_t> message) const;
  std::string modbusException(std::uint8_t function, std::uint8_t code) const;
  std::string ack(char first) const;
  bool takeFault(std::map<std::uint32_t, std::uint32_t>& faults, std::uint32_t sector);
  FrameVerdict injectedFault(std::uint32_t sector);
  FrameVerdict checkFrame(std::span<const std::uint8_t> bytes, SectorFrame& frame) const;

  SimOptions options_;
  bool loaderMode_ = false;
  std::uint32_t acceptedSectors_ = 0;
  WordImage image_;
};

}  // namespace quorvel::sim
