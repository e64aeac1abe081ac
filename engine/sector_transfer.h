#pragma once

#include <cstdint>
#include <functional>

#include "engine/download_observer.h"
#include "serial/serial_port.h"

namespace quorvel {

inline constexpr std::uint8_t kAnswerAcknowledged = 'G';
inline constexpr std::uint8_t kAnswerRejected = 'B';
inline constexpr std::uint32_t kAnswerBytes = 2;

// Returns true when a cancel has been requested (and records it).
using CancelTest = std::function<bool()>;

// Discards unread input, writes one sector frame (`words` 16-bit words, each low byte
// first) and waits for the instrument's answer. True only for the acknowledgement "G".
// `answer`, if given, receives what came back, unless a cancel ended the wait.
bool sendSector(SerialPort& port, const std::uint16_t* frame, std::uint32_t words,
                const CancelTest& cancelTest, SectorAnswer* answer = nullptr);

// Lays out `words` frame words as they go on the line, each low byte first, into `out`
// (2 * words bytes), whatever the host's byte order.
void serializeFrame(const std::uint16_t* frame, std::uint32_t words, std::uint8_t* out);

// Writes the closing order "GO".
void sendGo(SerialPort& port);

}  // namespace quorvel
