#pragma once

#include <chrono>
#include <cstdint>

#include "engine/download_observer.h"
#include "platform/cancel_event.h"

namespace quorvel {

// The time limit of the restart check, counted from "GO", in seconds.
inline constexpr std::uint32_t kRestartLimitDefaultS = 60;
inline constexpr std::uint32_t kRestartLimitMinS = 1;
inline constexpr std::uint32_t kRestartLimitMaxS = 600;

struct RestartCheckResult {
  RestartOutcome outcome = RestartOutcome::NotAnswered;
  double secondsSinceGo = 0;  // when the check ended
};

// Waits for the instrument on `portName` to run its application again after "GO" was sent
// at `goSentAt`: the port opened at the Modbus rate, then the loader entry's register read,
// one request at a time, until a valid answer comes, `limitSeconds` (one second lasting
// timing().restartLimitSecondMs) have passed since "GO", or `cancel` is signalled. Never the
// download order. A port that does not open yet (a USB adapter coming back with the
// instrument) is tried again after a pause.
RestartCheckResult awaitRestart(const char* portName,
                                std::chrono::steady_clock::time_point goSentAt,
                                std::uint32_t limitSeconds, const CancelEvent& cancel,
                                DownloadObserver& observer);

}  // namespace quorvel
