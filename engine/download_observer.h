#pragma once

#include <cstdint>

namespace quorvel {

// Finer detail of a download run than the percentage, for a front end that shows or records
// where each instrument stands. Called on the run's worker thread; an implementation must not
// block it. Every report is optional: the defaults do nothing.
class DownloadObserver {
 public:
  virtual ~DownloadObserver() = default;
  // The run has begun ordering the instrument into its loader.
  virtual void loaderEntryStarted() {}
  // A try of a sector is about to be written: sector from 1, attempt from 1.
  virtual void sectorTry(std::uint32_t /*sector*/, std::uint32_t /*attempt*/) {}
  // The instrument acknowledged that sector.
  virtual void sectorAcknowledged(std::uint32_t /*sector*/) {}
};

}  // namespace quorvel
