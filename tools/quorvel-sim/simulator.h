#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/quorvel-sim/instrument.h"
#include "tools/quorvel-sim/pty_line.h"
#include "tools/quorvel-sim/sim_options.h"

namespace quorvel::sim {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC: comparable with the host's logs

inline constexpr std::uint32_t kModbusDefaultBaud = 9600;
inline constexpr std::uint32_t kLoaderDefaultBaud = 115200;
inline constexpr std::uint32_t kBitsPerByte = 10;  // start, 8 data, stop
// After acknowledging the sector that --drop-after-sector names, the line drops when the
// host starts its next frame, or after this grace period, whichever comes first.
inline constexpr std::chrono::milliseconds kDropGrace{500};
// After "GO", give the host this long to close its port before the line goes away.
inline constexpr std::chrono::milliseconds kLingerAfterClose{2000};
// An answer the host does not take within this long is abandoned.
inline constexpr std::chrono::milliseconds kAnswerWriteStall{1000};
inline constexpr std::size_t kReadChunkBytes = 65536;

// One frame that followed an answer: how long the host took to turn around.
struct TurnaroundSample {
  std::uint32_t frame = 0;
  std::uint32_t sector = 0;
  std::size_t bytes = 0;
  char previousAnswer = 0;
  std::chrono::microseconds toFirstByte{0};
  std::chrono::microseconds toLastByte{0};
};

// The simulated instrument on a pseudo-terminal: one session from the first Modbus request
// to "GO". Single-threaded; requestStop() may be called from a signal handler or another
// thread.
class Simulator {
 public:
  explicit Simulator(SimOptions options, std::FILE* log = stderr);

  // Creates the pty (and the --link symlink); false with `error` set on failure.
  bool open(std::string& error);
  const std::string& devicePath() const { return line_.slavePath(); }

  // Plays the instrument until "GO", an injected drop, the time-out or a stop request;
  // returns the program's exit code.
  int run();

  // Async-signal-safe: makes run() end with kExitTerminated.
  void requestStop() const;
  // The descriptor requestStop() writes to, for a signal handler that cannot reach `this`.
  int stopDescriptor() const { return stopWrite_.get(); }

  const Instrument& instrument() const { return instrument_; }
  const std::vector<TurnaroundSample>& turnarounds() const { return turnarounds_; }

 private:
  enum class Step { Continue, Finished };

  Step pollOnce();
  bool readLine(Clock::time_point now);
  Step onTimers(Clock::time_point now);
  void onBytes(std::string_view bytes, Clock::time_point now);
  void onModbusChar(char c, Clock::time_point now);
  void onModbusFrame();
  void onLoaderBytes(std::string_view bytes, Clock::time_point now);
  Step onLoaderFrameEnd();
  Step onCloseOrder();
  void onAnswerSent(const std::string& answer, std::uint32_t sector, bool dropLine);
  void sendLateAnswer();
  void recordTurnaround(const LoaderReply& reply);
  bool sendAnswer(const std::string& answer, Clock::time_point requestStart,
                  std::size_t requestBytes);
  void paceAnswer(Clock::time_point requestStart, std::size_t requestBytes,
                  std::size_t answerBytes);
  bool writeAll(std::string_view bytes);
  void waitUntil(Clock::time_point when);
  bool noticeHostClose();
  void restartApplication(Clock::time_point now);
  void lingerForHostClose();
  Step finish(int exitCode);
  bool writeDump();
  bool writeStats();
  int pollTimeoutMs(Clock::time_point now) const;
  void logLine(const char* format, ...) const __attribute__((format(printf, 2, 3)));

  SimOptions options_;
  std::FILE* log_;
  Instrument instrument_;
  PtyLine line_;
  SymlinkGuard link_;
  UniqueFd stopRead_;
  UniqueFd stopWrite_;

  Clock::time_point deadline_{};
  bool stopRequested_ = false;
  int exitCode_ = kExitFailure;

  std::vector<char> readBuffer_ = std::vector<char>(kReadChunkBytes);
  std::string modbusFrame_;
  Clock::time_point modbusStart_{};

  std::vector<std::uint8_t> frame_;
  std::size_t frameBytes_ = 0;  // may exceed what frame_ keeps
  bool frameOpen_ = false;
  Clock::time_point frameFirst_{};
  Clock::time_point frameLast_{};
  std::uint32_t framesReceived_ = 0;

  std::optional<Clock::time_point> lastAnswerAt_;
  char lastAnswer_ = 0;
  std::vector<TurnaroundSample> turnarounds_;
  std::optional<Clock::time_point> dropAt_;

  // An acknowledgement held back by --late-sector, sent when its time has come.
  struct LateAnswer {
    Clock::time_point due;
    std::string answer;
    std::uint32_t sector = 0;
    bool dropLine = false;
  };
  std::optional<LateAnswer> lateAnswer_;

  // --restart-ms: after "GO", when the application comes back; then, while the host has not
  // opened the port again, how long it is waited for.
  std::optional<Clock::time_point> restartAt_;
  bool restarted_ = false;
  std::optional<Clock::time_point> hostAwaitedUntil_;
};

}  // namespace quorvel::sim
