#include "serial/port_list.h"

#include <algorithm>
#include <charconv>

namespace quorvel {
namespace {

constexpr std::size_t kUsbIdDigits = 4;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

char upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
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

// Case-insensitive position of `key` in `text`, npos when absent.
std::size_t findKey(std::string_view text, std::string_view key) {
  for (std::size_t at = 0; at + key.size() <= text.size(); ++at) {
    bool same = true;
    for (std::size_t i = 0; i < key.size() && same; ++i) same = upper(text[at + i]) == key[i];
    if (same) return at;
  }
  return std::string_view::npos;
}

bool hexFieldAfter(std::string_view id, std::string_view key, std::uint16_t& value) {
  std::size_t at = findKey(id, key);
  if (at == std::string_view::npos) return false;
  std::string_view digits = id.substr(at + key.size());
  if (digits.size() < kUsbIdDigits) return false;
  const char* first = digits.data();
  auto [end, error] = std::from_chars(first, first + kUsbIdDigits, value, 16);
  return error == std::errc() && end == first + kUsbIdDigits;
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

namespace detail {

bool parseUsbIds(std::string_view id, std::uint16_t& vendor, std::uint16_t& product) {
  std::uint16_t foundVendor = 0;
  std::uint16_t foundProduct = 0;
  if (!hexFieldAfter(id, "VID_", foundVendor) || !hexFieldAfter(id, "PID_", foundProduct)) {
    return false;
  }
  vendor = foundVendor;
  product = foundProduct;
  return true;
}

std::string usbSerialFromInstanceId(std::string_view instanceId) {
  constexpr std::string_view kUsbBus = "USB\\";
  if (findKey(instanceId, kUsbBus) != 0) return {};
  std::size_t lastSeparator = instanceId.rfind('\\');
  std::string_view last = instanceId.substr(lastSeparator + 1);
  if (lastSeparator < kUsbBus.size() || last.empty() || last.find('&') != std::string_view::npos) {
    return {};
  }
  return std::string(last);
}

std::string withoutPortSuffix(std::string_view friendlyName, std::string_view portName) {
  std::string suffix = " (" + std::string(portName) + ")";
  if (friendlyName.size() > suffix.size() && friendlyName.ends_with(suffix)) {
    friendlyName.remove_suffix(suffix.size());
  }
  return std::string(friendlyName);
}

}  // namespace detail

}  // namespace quorvel
