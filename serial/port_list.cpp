#include "serial/port_list.h"

#include <algorithm>

namespace quorvel {
namespace {

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Length of the digit run at the front of `text`.
std::size_t digitRun(std::string_view text) {
  std::size_t length = 0;
  while (length < text.size() && isDigit(text[length])) ++length;
  return length;
}

// Compares two digit runs by value without converting them (they may be long): leading
// zeros aside, the longer run is the larger number.
int compareNumbers(std::string_view a, std::string_view b) {
  while (a.size() > 1 && a.front() == '0') a.remove_prefix(1);
  while (b.size() > 1 && b.front() == '0') b.remove_prefix(1);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b);
}

}  // namespace

bool naturalLess(std::string_view a, std::string_view b) {
  while (!a.empty() && !b.empty()) {
    std::size_t runA = digitRun(a);
    std::size_t runB = digitRun(b);
    if (runA > 0 && runB > 0) {
      if (int order = compareNumbers(a.substr(0, runA), b.substr(0, runB)); order != 0) {
        return order < 0;
      }
      a.remove_prefix(runA);
      b.remove_prefix(runB);
      continue;
    }
    if (a.front() != b.front()) return a.front() < b.front();
    a.remove_prefix(1);
    b.remove_prefix(1);
  }
  return a.size() < b.size();
}

void sortByName(std::vector<SerialPortInfo>& ports) {
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return naturalLess(a.name, b.name);
  });
}

}  // namespace quorvel
