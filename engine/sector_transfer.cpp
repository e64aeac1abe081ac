#include "engine/sector_transfer.h"

#include <array>
#include <bit>
#include <chrono>
#include <optional>

#include "image/sector_reader.h"
#include "platform/timing.h"
#include "serial/trace.h"

namespace quorvel {
namespace {

inline constexpr std::uint8_t kNoAnswer = 0;
inline constexpr std::array<std::uint8_t, 2> kClosingOrder = {'G', 'O'};

// The line carries every word low byte first. On a little-endian host the frame buffer
// already has that layout and goes out as it is; elsewhere it is laid out once more in a
// fixed buffer of the same size (never allocated per sector).
std::uint32_t writeFrame(SerialPort& port, const std::uint16_t* frame, std::uint32_t words) {
  const std::uint32_t bytes = 2 * words;
  if constexpr (std::endian::native == std::endian::little) {
    return port.write(reinterpret_cast<const std::uint8_t*>(frame), bytes);
  } else {
    static thread_local std::array<std::uint8_t, 2 * kFrameBufferWords> lineBytes;
    serializeFrame(frame, words, lineBytes.data());
    return port.write(lineBytes.data(), bytes);
  }
}

// Waits for the first answer byte: up to kAnswerReads reads, the cancel test after each
// empty one. Returns false when a cancel was reported; `firstByte` stays empty when nothing
// came.
bool awaitAnswer(SerialPort& port, const CancelTest& cancelTest,
                 std::optional<std::uint8_t>& firstByte) {
  std::array<std::uint8_t, kAnswerBytes> answer{};
  for (int readCount = 0; readCount < kAnswerReads; ++readCount) {
    if (port.read(answer.data(), kAnswerBytes, timing().answerReadTimeoutMs) > 0) {
      firstByte = answer[0];
      return true;
    }
    if (cancelTest()) return false;
  }
  return true;
}

SectorAnswer describeAnswer(std::optional<std::uint8_t> firstByte,
                            std::chrono::steady_clock::time_point written) {
  SectorAnswer answer;
  answer.elapsedMs =
      static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - written)
                                     .count());
  if (!firstByte) return answer;
  answer.firstByte = *firstByte;
  if (*firstByte == kAnswerAcknowledged) {
    answer.kind = AnswerKind::Acknowledged;
  } else if (*firstByte == kAnswerRejected) {
    answer.kind = AnswerKind::Rejected;
  } else {
    answer.kind = AnswerKind::Other;
  }
  return answer;
}

bool judgeAnswer(std::uint8_t firstByte) {
  trace(0, "Remote device answer=%d\n\n", static_cast<int>(static_cast<std::int8_t>(firstByte)));
  if (firstByte == kAnswerAcknowledged) {
    trace(1, "The sector has been correctly received by the remote device\n");
    return true;
  }
  if (firstByte == kAnswerRejected) {
    trace(1, "ERROR : The sector has not been correctly received by the remote device\n");
    return false;
  }
  trace(1, "No response from the remote device\n");
  return false;
}

}  // namespace

void serializeFrame(const std::uint16_t* frame, std::uint32_t words, std::uint8_t* out) {
  for (std::uint32_t i = 0; i < words; ++i) {
    out[2 * i] = static_cast<std::uint8_t>(frame[i] & 0xFFu);
    out[2 * i + 1] = static_cast<std::uint8_t>(frame[i] >> 8);
  }
}

bool sendSector(SerialPort& port, const std::uint16_t* frame, std::uint32_t words,
                const CancelTest& cancelTest, SectorAnswer* answer) {
  // An answer that came after the previous try had stopped waiting would otherwise be read
  // as the answer to this frame: each try is judged by what arrives after its own frame.
  port.discardInput();
  writeFrame(port, frame, words);
  const auto written = std::chrono::steady_clock::now();
  std::optional<std::uint8_t> firstByte;
  if (cancelTest()) return false;
  if (!awaitAnswer(port, cancelTest, firstByte)) return false;
  if (answer != nullptr) *answer = describeAnswer(firstByte, written);
  return judgeAnswer(firstByte.value_or(kNoAnswer));
}

void sendGo(SerialPort& port) {
  port.write(kClosingOrder.data(), kClosingOrder.size());
}

}  // namespace quorvel
