#pragma once

#include <string>
#include <string_view>

// How a user's port name becomes the name the operating system opens. Pure text functions,
// compiled on every platform so that both mappings are tested everywhere.
namespace quorvel {

inline constexpr unsigned kHighestComPortNumber = 999;

namespace detail {

// The n of a name "COMn" (any letter case, n from 1 without leading zero), or 0 when the
// name has another form.
inline unsigned comPortNumber(std::string_view name) {
  constexpr std::string_view kPrefix = "COM";
  constexpr std::size_t kMaxDigits = 3;
  if (name.size() <= kPrefix.size() || name.size() > kPrefix.size() + kMaxDigits) return 0;
  for (std::size_t i = 0; i < kPrefix.size(); ++i) {
    char upper =
        (name[i] >= 'a' && name[i] <= 'z') ? static_cast<char>(name[i] - 'a' + 'A') : name[i];
    if (upper != kPrefix[i]) return 0;
  }
  std::string_view digits = name.substr(kPrefix.size());
  if (digits.front() == '0') return 0;
  unsigned number = 0;
  for (char digit : digits) {
    if (digit < '0' || digit > '9') return 0;
    number = number * 10 + static_cast<unsigned>(digit - '0');
  }
  return number <= kHighestComPortNumber ? number : 0;
}

}  // namespace detail

// POSIX: "COMn" names the n-th serial line, "/dev/ttyS(n-1)"; any other name is a path
// and is opened as given.
inline std::string posixDevicePath(std::string_view name) {
  unsigned number = detail::comPortNumber(name);
  if (number == 0) return std::string(name);
  return "/dev/ttyS" + std::to_string(number - 1);
}

// Windows: "COMn" is opened in the device namespace, "\\.\COMn"; without it COM10 and
// above cannot be opened at all. Other names are passed through unchanged.
inline std::string win32DevicePath(std::string_view name) {
  if (detail::comPortNumber(name) == 0) return std::string(name);
  return "\\\\.\\" + std::string(name);
}

}  // namespace quorvel
