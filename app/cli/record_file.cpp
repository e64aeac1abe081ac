#include "app/cli/record_file.h"

#include <algorithm>
#include <cstdio>

#include "app/cli/record_file_platform.h"
#include "platform/timing.h"

namespace quorvel::cli {
namespace {

using Clock = std::chrono::steady_clock;

// How often a lock held by another run is tried again (a granularity, not a pause).
constexpr std::uint32_t kLockPollMs = 10;

}  // namespace

bool RecordFile::open(const std::string& path, std::string& error) {
  path_ = path;
  if (file_.open(path, FileUse::Append, "the record", error) != NamedFile::Outcome::Opened) {
    return false;
  }
  // A file that cannot be locked would fail every append later; one locked by another run
  // right now can.
  std::string reason;
  switch (detail::tryLockRecord(file_, reason)) {
    case detail::RecordLock::Taken:
      detail::unlockRecord(file_);
      return true;
    case detail::RecordLock::Busy:
      return true;
    case detail::RecordLock::Failed:
      break;
  }
  error = "cannot lock the record " + path + ": " + reason;
  file_.close();
  return false;
}

bool RecordFile::lock(std::string& error, bool (*interrupted)()) {
  const Clock::time_point start = Clock::now();
  const auto limit = std::chrono::milliseconds(timing().recordLockWaitMs);
  Clock::time_point end = start + limit;
  bool interruptSeen = false;
  for (;;) {
    std::string reason;
    const detail::RecordLock attempt = detail::tryLockRecord(file_, reason);
    if (attempt == detail::RecordLock::Taken) return true;
    if (attempt == detail::RecordLock::Failed) {
      error = "cannot lock the record " + path_ + ": " + reason;
      return false;
    }
    const Clock::time_point now = Clock::now();
    if (!interruptSeen && interrupted != nullptr && interrupted()) {
      interruptSeen = true;
      end = std::min(end, now + kRecordLockGraceAfterInterrupt);
    }
    if (now >= end) {
      char waited[32];
      std::snprintf(waited, sizeof waited, "; waited %g s for it", limit.count() / 1000.0);
      error = "the record " + path_ + " is locked by another program" +
              (interruptSeen ? "; the wait for it was interrupted" : waited);
      return false;
    }
    sleepMs(kLockPollMs);
  }
}

bool RecordFile::append(const std::string& line, std::string& error, bool (*interrupted)()) {
  if (!lock(error, interrupted)) return false;
  const std::uint64_t end = file_.size();
  const int last = end > 0 ? detail::recordByteAt(file_, end - 1) : '\n';
  const bool glued = last >= 0 && last != '\n';
  std::string reason;
  const bool whole = detail::writeAtRecordEnd(file_, glued ? "\n" + line : line, reason);
  if (!whole) {
    const bool takenBack = file_.size() == end || file_.truncate(end);
    error = "cannot write the record " + path_ + ": " + reason +
            (takenBack ? " (the part written was taken back)"
                       : " (the part written could not be taken back)");
  }
  detail::unlockRecord(file_);
  return whole;
}

}  // namespace quorvel::cli
