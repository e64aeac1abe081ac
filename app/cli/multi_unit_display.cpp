#include "app/cli/multi_unit_display.h"

#include <algorithm>

#include "app/exit_codes.h"

namespace quorvel::cli {
namespace {

constexpr int kPercentStep = 10;
constexpr const char* kCursorUpFormat = "\x1b[%zuA";
constexpr const char* kClearLine = "\r\x1b[2K";
constexpr const char* kNotRecorded = " [NOT IN THE RECORD]";

int percentStep(int percent) {
  return percent < 0 ? -1 : percent / kPercentStep;
}

std::string padded(const std::string& text, std::size_t width) {
  std::string out = text;
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}

// A result message may span lines ("...firmware.\n\nPlease verify..."): one table cell.
std::string oneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      if (!out.empty() && out.back() != ' ') out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

const char* unitStateName(UnitState state) {
  switch (state) {
    case UnitState::Waiting:
      return "waiting";
    case UnitState::EnteringLoader:
      return "entering loader";
    case UnitState::Sending:
      return "sending";
    case UnitState::Retrying:
      return "retrying";
    case UnitState::Verifying:
      return "verifying";
    case UnitState::Succeeded:
      return "done";
    case UnitState::Failed:
      return "failed";
    case UnitState::Cancelled:
      return "canceled";
  }
  return "";
}

bool isFinal(UnitState state) {
  return state == UnitState::Succeeded || state == UnitState::Failed ||
         state == UnitState::Cancelled;
}

std::string formatUnitLine(const UnitProgress& unit, std::size_t portWidth) {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%3d %%  sector %5u  try %u  ", std::max(unit.percent, 0),
                unit.sector, unit.attempt);
  return padded(unit.port, portWidth) + "  " + numbers + unitStateName(unit.state);
}

MultiUnitDisplay::MultiUnitDisplay(std::FILE* out, bool inPlace,
                                   const std::vector<std::string>& ports)
    : out_(out), inPlace_(inPlace) {
  for (const std::string& port : ports) {
    portWidth_ = std::max(portWidth_, port.size());
    shown_.push_back(UnitProgress{port});
  }
}

void MultiUnitDisplay::update(std::size_t index, const UnitProgress& unit) {
  UnitProgress& shown = shown_.at(index);
  if (inPlace_) {
    const bool changed = unit.percent != shown.percent || unit.sector != shown.sector ||
                         unit.attempt != shown.attempt || unit.state != shown.state;
    shown = unit;
    if (changed || !blockDrawn_) redrawBlock();
    return;
  }
  const bool newStep = percentStep(unit.percent) != percentStep(shown.percent);
  const bool ended = isFinal(unit.state) && !isFinal(shown.state);
  const bool verifying = unit.state == UnitState::Verifying && shown.state != UnitState::Verifying;
  shown = unit;
  if (newStep || ended || verifying) printLine(unit);
}

void MultiUnitDisplay::printAbove(const std::string& text) {
  if (text.empty()) return;
  if (!inPlace_ || !blockDrawn_) {
    write(text);
    return;
  }
  char up[32];
  std::snprintf(up, sizeof up, kCursorUpFormat, shown_.size());
  // The text takes the block's place line by line, each line cleared first; the block is
  // drawn again under it.
  std::string out = up;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    out.append(kClearLine).append(text, start, end - start);
    start = end;
  }
  if (out.back() != '\n') out.push_back('\n');
  blockDrawn_ = false;
  write(out);
  redrawBlock();
}

void MultiUnitDisplay::redrawBlock() {
  std::string out;
  if (blockDrawn_) {
    char up[32];
    std::snprintf(up, sizeof up, kCursorUpFormat, shown_.size());
    out += up;
  }
  for (const UnitProgress& unit : shown_) {
    out.append(kClearLine).append(formatUnitLine(unit, portWidth_)).append("\n");
  }
  blockDrawn_ = true;
  write(out);  // one write per redraw, so no other output lands inside the block
}

void MultiUnitDisplay::printLine(const UnitProgress& unit) {
  write(formatUnitLine(unit, portWidth_) + "\n");
}

void MultiUnitDisplay::write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

std::string formatSummary(const std::vector<UnitOutcome>& outcomes) {
  std::size_t portWidth = 4;
  for (const UnitOutcome& outcome : outcomes) portWidth = std::max(portWidth, outcome.port.size());
  std::string table = padded("PORT", portWidth) + "  RESULT  SECTORS  RETRIES  SECONDS  MESSAGE\n";
  for (const UnitOutcome& outcome : outcomes) {
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "  %6d  %7llu  %7llu  %7.1f  ", outcome.result,
                  static_cast<unsigned long long>(outcome.sectors),
                  static_cast<unsigned long long>(outcome.retries), outcome.seconds);
    table += padded(outcome.port, portWidth) + numbers + oneLine(outcome.message) +
             (outcome.unrecorded ? kNotRecorded : "") + "\n";
  }
  return table;
}

int combinedExitStatus(const std::vector<UnitOutcome>& outcomes) {
  int status = 0;
  bool unrecorded = false;
  for (const UnitOutcome& outcome : outcomes) {
    status = std::max(status, outcome.result);
    unrecorded = unrecorded || outcome.unrecorded;
  }
  return status == 0 && unrecorded ? kExitUsage : status;
}

}  // namespace quorvel::cli
