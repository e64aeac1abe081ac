#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::cli {

// Where one instrument's upgrade stands, as the display of a run over several units shows it.
enum class UnitState {
  Waiting,         // not started yet
  EnteringLoader,  // Modbus exchange and the pauses around it
  Sending,         // sector frames going out
  Retrying,        // a sector is being sent again
  Verifying,       // "GO" sent; waiting for the instrument to run its new firmware
  Succeeded,
  Failed,
  Cancelled,
};

const char* unitStateName(UnitState state);
bool isFinal(UnitState state);

struct UnitProgress {
  std::string port;
  int percent = -1;  // -1 before the first acknowledged sector
  std::uint32_t sector = 0;
  std::uint32_t attempt = 0;
  UnitState state = UnitState::Waiting;
};

// One display line: port (padded to `portWidth`), percentage, sector, try and state.
std::string formatUnitLine(const UnitProgress& unit, std::size_t portWidth);

// The progress of several instruments on standard error. On a terminal every port keeps one
// line, redrawn in place; elsewhere a port gets a line at each 10 % step, when the wait for
// its restart begins and when it ends.
// Used by the main thread only.
class MultiUnitDisplay {
 public:
  MultiUnitDisplay(std::FILE* out, bool inPlace, const std::vector<std::string>& ports);
  MultiUnitDisplay(const MultiUnitDisplay&) = delete;
  MultiUnitDisplay& operator=(const MultiUnitDisplay&) = delete;

  // Shows the new state of the port at `index`, if anything shown has changed.
  void update(std::size_t index, const UnitProgress& unit);
  // Text that must appear between the updates (trace lines on a shared terminal): above
  // the in-place block, which is drawn again under it.
  void printAbove(const std::string& text);

 private:
  void redrawBlock();
  void printLine(const UnitProgress& unit);
  void write(const std::string& text);

  std::FILE* out_;
  bool inPlace_;
  std::size_t portWidth_ = 0;
  std::vector<UnitProgress> shown_;
  bool blockDrawn_ = false;
};

// What the summary table shows of one port once its transfer has ended.
struct UnitOutcome {
  std::string port;
  int result = 0;
  std::string message;
  std::uint64_t sectors = 0;
  std::uint64_t retries = 0;
  double seconds = 0;
  std::optional<bool> verified;          // none when the restart was not to be checked
  std::optional<double> restartSeconds;  // from "GO" to the instrument's answer
  bool unrecorded = false;               // its line could not be written to the record
};

// The table at the end of a run: a header and one row per port, in the order given; a port
// whose line is missing from the record says so after its message.
std::string formatSummary(const std::vector<UnitOutcome>& outcomes);

// The highest result code among the ports; when every port succeeded, 0, or 2 (as for a
// record that cannot be written at all) when the record lacks any of them.
int combinedExitStatus(const std::vector<UnitOutcome>& outcomes);

}  // namespace quorvel::cli
