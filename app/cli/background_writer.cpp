#include "app/cli/background_writer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace quorvel::cli {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a write that found the output full waits for room before it looks again (and
// sees whether it has been given up). A granularity, not a pause of the protocol.
constexpr std::uint32_t kRoomWaitMs = 50;
// How often finish() looks at the writer's progress.
constexpr milliseconds kFinishCheck{25};
// A writer given up on leaves within one wait for room; longer, it is stuck in a write.
constexpr milliseconds kLeaveLimit{4 * kRoomWaitMs};

}  // namespace

std::uint64_t countLines(std::string_view text) {
  return static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
}

struct BackgroundWriter::State {
  State(OutputFile out, std::size_t queueLimit) : output(std::move(out)), limit(queueLimit) {}

  // Under the lock. The text waiting, and what is known lost of it.
  void loseQueue() {
    for (const std::string& text : queue) lostLines += countLines(text);
    queue.clear();
    queuedBytes = 0;
  }

  std::mutex mutex;
  std::condition_variable wake;     // the writer: text queued, or stopping
  std::condition_variable advance;  // finish(): bytes written, or the writer done
  std::deque<std::string> queue;
  std::size_t queuedBytes = 0;
  std::size_t inFlightBytes = 0;  // taken by the writer, not written yet
  std::uint64_t inFlightLines = 0;
  std::uint64_t writtenBytes = 0;
  std::uint64_t lostLines = 0;
  bool stopping = false;
  bool done = false;
  bool failed = false;
  std::atomic<bool> abandoned{false};
  OutputFile output;  // used by the writer thread alone
  const std::size_t limit;
};

BackgroundWriter::BackgroundWriter(OutputFile output, std::size_t queueLimitBytes)
    : state_(std::make_shared<State>(std::move(output), queueLimitBytes)) {
  thread_ = std::thread([state = state_] { run(state); });
}

BackgroundWriter::~BackgroundWriter() {
  if (thread_.joinable()) finish(milliseconds(0), [] { return false; });
}

bool BackgroundWriter::push(std::string text) {
  return add(std::move(text), true);
}

void BackgroundWriter::pushAlways(std::string text) {
  add(std::move(text), false);
}

bool BackgroundWriter::add(std::string text, bool withinLimit) {
  std::lock_guard lock(state_->mutex);
  State& state = *state_;
  if (state.failed || state.stopping) {
    state.lostLines += countLines(text);
    return true;
  }
  const std::size_t waiting = state.queuedBytes + state.inFlightBytes;
  if (withinLimit && state.limit != kUnbounded &&
      (text.size() > state.limit || waiting > state.limit - text.size())) {
    return false;
  }
  state.queuedBytes += text.size();
  state.queue.push_back(std::move(text));
  state.wake.notify_one();
  return true;
}

void BackgroundWriter::run(const std::shared_ptr<State>& shared) {
  State& state = *shared;
  for (;;) {
    std::string text;
    {
      std::unique_lock lock(state.mutex);
      state.wake.wait(lock, [&] { return !state.queue.empty() || state.stopping; });
      if (state.queue.empty() || state.abandoned) break;
      // Whatever waits goes out in one write.
      text.reserve(state.queuedBytes);
      for (const std::string& piece : state.queue) text += piece;
      state.queue.clear();
      state.inFlightBytes = std::exchange(state.queuedBytes, 0);
      state.inFlightLines = countLines(text);
    }
    std::size_t offset = 0;
    bool lost = false;
    while (offset < text.size() && !lost) {
      const OutputFile::Written written =
          state.abandoned ? OutputFile::Written{0, false, true}
                          : state.output.writeSome(text.data() + offset, text.size() - offset);
      if (written.bytes > 0) {
        offset += written.bytes;
        std::lock_guard lock(state.mutex);
        state.writtenBytes += written.bytes;
        state.inFlightBytes -= written.bytes;
        state.advance.notify_all();
      } else if (written.failed) {
        lost = true;
      } else {
        state.output.waitForRoom(kRoomWaitMs);
      }
    }
    std::lock_guard lock(state.mutex);
    state.inFlightBytes = 0;
    state.inFlightLines = 0;
    if (lost) {
      state.lostLines += countLines(std::string_view(text).substr(offset));
      if (!state.abandoned) state.failed = true;
      state.loseQueue();  // nothing more can go out
    }
  }
  const bool closed = state.output.close();
  std::lock_guard lock(state.mutex);
  state.failed = state.failed || !closed;
  state.loseQueue();
  state.done = true;
  state.advance.notify_all();
}

BackgroundWriter::Report BackgroundWriter::finish(milliseconds stallLimit,
                                                  const std::function<bool()>& patient) {
  State& state = *state_;
  std::unique_lock lock(state.mutex);
  state.stopping = true;
  state.wake.notify_all();
  std::uint64_t lastWritten = state.writtenBytes;
  Clock::time_point lastAdvance = Clock::now();
  while (!state.done) {
    state.advance.wait_for(lock, kFinishCheck);
    if (state.writtenBytes != lastWritten) {
      lastWritten = state.writtenBytes;
      lastAdvance = Clock::now();
    } else if (!patient() && Clock::now() - lastAdvance >= stallLimit) {
      state.abandoned = true;
      state.wake.notify_all();
      state.advance.wait_for(lock, kLeaveLimit, [&] { return state.done; });
      break;
    }
  }
  Report report{state.lostLines, state.failed};
  const bool stuck = !state.done;
  if (stuck) {
    for (const std::string& text : state.queue) report.lostLines += countLines(text);
    report.lostLines += state.inFlightLines;
  }
  lock.unlock();
  if (stuck) {
    thread_.detach();  // in a write the system does not end; it keeps the state alive
  } else {
    thread_.join();
  }
  return report;
}

}  // namespace quorvel::cli
