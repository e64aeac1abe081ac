#pragma once

#include <cstdint>

// Every time-out and pause of the system, in one table. Production code reads the values
// through timing(); tests may shrink them all at once with ScopedTimingScale so that a run
// with real protocol pauses does not take minutes.
namespace quorvel {

struct TimingTable {
  uint32_t afterLoaderEntryMs = 1000;   // downloader's wait after a successful entry
  uint32_t loaderEntryPauseMs = 2000;   // pause after the download order, answered or not
  uint32_t modbusReadTimeoutMs = 2000;  // one read of a Modbus answer
  uint32_t answerReadTimeoutMs = 1000;  // one read of a sector acknowledgement
  uint32_t retryPauseMs = 500;          // pause before a sector is sent again
  uint32_t writeTimeoutPerByteMs = 30;  // serial write budget per byte
  uint32_t splashMs = 1500;             // splash box lifetime
  uint32_t linkAnimationMs = 500;       // transfer picture animation step
  uint32_t converterStopGraceMs = 300;  // a stopped converter's time to end before SIGKILL
  // The restart check after "GO":
  uint32_t quietAfterGoMs = 500;         // silence after "GO" before anything else is sent
  uint32_t restartReadTimeoutMs = 1000;  // one read of an answer to the register request
  uint32_t restartReopenPauseMs = 500;   // before a port that did not open is tried again
  uint32_t restartLimitSecondMs = 1000;  // one second of the check's time limit
  // The longest wait for the lock of the record file that another run holds.
  uint32_t recordLockWaitMs = 10000;
  // Where a wait on the line cannot also wait for the cancel event, it looks at the event
  // this often (a granularity, not a pause: not scaled).
  uint32_t cancelCheckMs = 50;
  // A serial device server on the network: the connection, then the server's confirmation
  // of the line speed. Limits on a peer, not pauses: like the write budget, never scaled.
  uint32_t networkConnectTimeoutMs = 5000;
  uint32_t networkSpeedConfirmMs = 2000;
  // A connection that takes none of our bytes for this long is dead, whatever is left of the
  // write budget (which is made for a line, not for a network that went away).
  uint32_t networkStallTimeoutMs = 10000;
  // Before the connection closes, the server's answer to a query sent after the last data
  // (the last bytes have then left its socket for the line).
  uint32_t networkDeliveryConfirmMs = 1000;
  // ... and the time the last bytes are given, from their write, to reach the server's line
  // before the connection ends: a server may drop what it still holds when it closes.
  uint32_t networkCloseLingerMs = 100;
};

// Fixed counts and sizes that are not times.
inline constexpr int kModbusReadAttempts = 3;
inline constexpr int kAnswerReads = 10;
inline constexpr int kSectorTries = 3;

// The table in force. Scaled tables never go below 1 ms for a non-zero value.
const TimingTable& timing();

// Divides every value of the table by `divisor` while it lives; restores the real values
// when destroyed. Not thread-safe: create it before any worker starts.
class ScopedTimingScale {
 public:
  explicit ScopedTimingScale(uint32_t divisor);
  ~ScopedTimingScale();
  ScopedTimingScale(const ScopedTimingScale&) = delete;
  ScopedTimingScale& operator=(const ScopedTimingScale&) = delete;

 private:
  TimingTable saved_;
};

// Blocks the calling thread for `ms` milliseconds (never spins).
void sleepMs(uint32_t ms);

}  // namespace quorvel
