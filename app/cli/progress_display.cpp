#include "app/cli/progress_display.h"

#include <algorithm>

namespace quorvel::cli {
namespace {

constexpr unsigned kBarCells = 40;
constexpr unsigned kFullPercent = 100;

}  // namespace

ProgressStyle chooseProgressStyle(bool errorIsTerminal, bool sharedWithTraces) {
  if (!errorIsTerminal) return ProgressStyle::PlainLines;
  return sharedWithTraces ? ProgressStyle::BarLines : ProgressStyle::InPlaceBar;
}

std::string formatProgress(unsigned percent, ProgressStyle style) {
  percent = std::min(percent, kFullPercent);
  std::string number = std::to_string(percent);
  // Built with append: GCC 12 warns falsely (-Wrestrict) on "literal" + string at -O2.
  if (style == ProgressStyle::PlainLines)
    return std::string("Progress: ").append(number).append(" %");
  unsigned filled = percent * kBarCells / kFullPercent;
  std::string text = "[";
  text.append(filled, '#');
  text.append(kBarCells - filled, '.');
  text += "] ";
  text.append(3 - number.size(), ' ');  // keeps the bar's width for every percentage
  text.append(number).append(" %");
  return text;
}

void ProgressDisplay::show(unsigned percent) {
  if (static_cast<int>(percent) == shown_) return;
  shown_ = static_cast<int>(percent);
  // One write per update, so the worker's trace lines never land inside it.
  bool inPlace = style_ == ProgressStyle::InPlaceBar;
  std::string text;
  if (inPlace) text += '\r';
  text += formatProgress(percent, style_);
  if (!inPlace) text += '\n';
  lineOpen_ = inPlace;
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

void ProgressDisplay::endLine() {
  if (!lineOpen_) return;
  std::fputc('\n', out_);
  std::fflush(out_);
  lineOpen_ = false;
}

void ProgressChannel::post(unsigned message, std::uintptr_t wParam, std::intptr_t) {
  if (message == WM_DOWNLOAD_PROGRESS) {
    percent_.store(static_cast<int>(std::min<std::uintptr_t>(wParam, kFullPercent)));
  } else if (message == WM_DOWNLOAD_END) {
    succeeded_.store(wParam == 1);
    ended_.store(true);
  }
  if (wake_ != nullptr) wake_();
}

ProgressChannel::Snapshot ProgressChannel::snapshot() const {
  Snapshot state;
  state.ended = ended_.load();  // first: every percentage was stored before the end
  state.succeeded = succeeded_.load();
  state.percent = percent_.load();
  return state;
}

}  // namespace quorvel::cli
