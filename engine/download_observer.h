#pragma once

#include <cstdint>

namespace quorvel {

// How the loader-mode entry ended.
enum class LoaderEntryOutcome : std::uint8_t {
  OrderWritten,     // the instrument answered the register read; the download order was written
  OrderNotWritten,  // it answered, but the download order could not be written
  NoAnswer,         // no valid answer in any attempt (perhaps already in its loader)
  PortNotOpened,    // the port did not open at the Modbus rate; nothing was sent
  Cancelled,        // a cancel came before the download order
};

// One try of one sector, as it is about to be written.
struct SectorTry {
  std::uint32_t sector = 0;      // from 1, in file order
  std::uint32_t attempt = 0;     // from 1
  std::uint32_t address = 0;     // the sector's address, from the frame's first two words
  std::uint32_t frameWords = 0;  // the whole frame: the data words and 5
};

// What the instrument answered to a try.
enum class AnswerKind : std::uint8_t {
  Acknowledged,  // "G"
  Rejected,      // "B"
  Other,         // any other first byte
  None,          // nothing within the reads
};

struct SectorAnswer {
  AnswerKind kind = AnswerKind::None;
  std::uint8_t firstByte = 0;  // the byte received; 0 when none came
  // From the end of the frame's write to the end of the read that brought the answer (for
  // None: to the end of the last empty read).
  std::uint32_t elapsedMs = 0;
};

// How the wait for the instrument's restart after "GO" ended.
enum class RestartOutcome : std::uint8_t {
  Answered,     // the instrument answered the register read again
  NotAnswered,  // no valid answer within the time limit
  Cancelled,
};

// Finer detail of a download run than the percentage, for a front end that shows, records or
// streams where each instrument stands. Called on the run's worker thread; an implementation
// must not block it. Every report is optional: the defaults do nothing.
class DownloadObserver {
 public:
  virtual ~DownloadObserver() = default;
  // The run has begun ordering the instrument into its loader.
  virtual void loaderEntryStarted() {}
  // A register read of the loader-mode entry is about to be sent: attempt from 1.
  virtual void loaderEntryAttempt(std::uint32_t /*attempt*/) {}
  // The loader-mode entry is over (before its pause).
  virtual void loaderEntryEnded(LoaderEntryOutcome /*outcome*/) {}
  // A try of a sector is about to be written.
  virtual void sectorTry(const SectorTry& /*sectorTry*/) {}
  // The answer to that try; not reported for a try that a cancel ended.
  virtual void sectorAnswer(const SectorTry& /*sectorTry*/, const SectorAnswer& /*answer*/) {}
  // The instrument acknowledged that sector.
  virtual void sectorAcknowledged(std::uint32_t /*sector*/) {}
  // The wait for the instrument to come back after "GO" has begun.
  virtual void restartCheckStarted() {}
  // That wait has ended, `secondsSinceGo` after "GO" was sent.
  virtual void restartCheckEnded(RestartOutcome /*outcome*/, double /*secondsSinceGo*/) {}
};

}  // namespace quorvel
