// Any received characters given to the Modbus frame decoder: no access outside the buffer, and
// a frame it accepts decodes to one byte per two digits. Short inputs also make a
// round trip: an encoded frame must decode to the message and its LRC byte, except that
// frames of one or two bytes lie below the decoder's 11-character minimum and are refused.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/modbus_link.h"

namespace {

// The engine's buffers are never smaller than a request frame.
constexpr std::size_t kMinBufferBytes = quorvel::kModbusFrameChars;
constexpr std::size_t kMaxRoundTripBytes = 8;
constexpr std::size_t kFrameDelimiterChars = 3;  // ':', CR, LF
constexpr std::size_t kFrameOverheadChars = 5;   // the delimiters and two LRC digits
// Address, function and one byte more: the shortest frame (11 characters) the decoder takes.
constexpr std::size_t kMinDecodedMessageBytes = 3;

// Exactly sized heap buffers, so that the address sanitizer sees any access past their end.
std::unique_ptr<std::uint8_t[]> copyOf(const std::uint8_t* data, std::size_t size,
                                       std::size_t capacity) {
  auto buffer = std::make_unique<std::uint8_t[]>(capacity);
  std::copy(data, data + size, buffer.get());
  return buffer;
}

void decodeAnything(const std::uint8_t* data, std::size_t size) {
  auto buffer = copyOf(data, size, std::max(size, kMinBufferBytes));
  std::size_t count = size;
  if (quorvel::ModbusLink::decodeFrame(buffer.get(), count) &&
      2 * count + kFrameDelimiterChars != size) {
    __builtin_trap();
  }
}

void roundTrip(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > kMaxRoundTripBytes) return;
  const std::size_t frameChars = 2 * size + kFrameOverheadChars;
  auto buffer = copyOf(data, size, frameChars);
  if (quorvel::ModbusLink::encodeFrame(buffer.get(), size) != frameChars) __builtin_trap();

  std::size_t count = frameChars;
  const bool decoded = quorvel::ModbusLink::decodeFrame(buffer.get(), count);
  if (decoded != (size >= kMinDecodedMessageBytes)) __builtin_trap();
  if (!decoded) return;
  if (count != size + 1 || !std::equal(data, data + size, buffer.get())) __builtin_trap();
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + buffer[i]);
  if (sum != 0) __builtin_trap();  // the LRC byte completes the sum to zero
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  decodeAnything(data, size);
  roundTrip(data, size);
  return 0;
}
