#include "serial/network_port_name.h"

namespace quorvel {
namespace {

constexpr std::string_view kRawSocketScheme = "socket://";
constexpr std::string_view kSchemeEnd = "://";
constexpr std::size_t kMaxHostChars = 253;
constexpr std::size_t kMaxLabelChars = 63;
constexpr std::size_t kMaxPortDigits = 5;
constexpr unsigned kMaxPortNumber = 65535;
constexpr const char* kNameForm =
    "the form is rfc2217://HOST:PORT, HOST a name, an IPv4 address or an [IPv6] address";

char lowerCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isLetter(char c) {
  return lowerCase(c) >= 'a' && lowerCase(c) <= 'z';
}

bool isHexDigit(char c) {
  return isDigit(c) || (lowerCase(c) >= 'a' && lowerCase(c) <= 'f');
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (lowerCase(text[i]) != prefix[i]) return false;
  }
  return true;
}

// "scheme" of "scheme://...": a letter, then letters, digits, "+", "." or "-". Empty when the
// name has no such prefix (a device path, "COM3").
std::string_view schemeOf(std::string_view name) {
  const std::size_t end = name.find(kSchemeEnd);
  if (end == std::string_view::npos || end == 0 || !isLetter(name[0])) return {};
  for (char c : name.substr(0, end)) {
    if (!isLetter(c) && !isDigit(c) && c != '+' && c != '.' && c != '-') return {};
  }
  return name.substr(0, end);
}

// Labels of letters, digits, "-" and "_" between dots; a dotted IPv4 address is one too.
bool validHostName(std::string_view host) {
  if (host.empty() || host.size() > kMaxHostChars) return false;
  std::size_t labelStart = 0;
  for (std::size_t i = 0; i <= host.size(); ++i) {
    if (i < host.size() && host[i] != '.') {
      const char c = host[i];
      if (!isLetter(c) && !isDigit(c) && c != '-' && c != '_') return false;
      continue;
    }
    const std::string_view label = host.substr(labelStart, i - labelStart);
    if (label.empty() || label.size() > kMaxLabelChars || label.front() == '-' ||
        label.back() == '-') {
      return false;
    }
    labelStart = i + 1;
  }
  return true;
}

// Hex groups, colons and an IPv4 tail, optionally a zone ("%eth0"); the system's parser has
// the last word when the address is used.
bool validIpv6(std::string_view address) {
  const std::size_t zone = address.find('%');
  std::string_view groups = address.substr(0, zone);
  if (groups.find(':') == std::string_view::npos) return false;
  for (char c : groups) {
    if (!isHexDigit(c) && c != ':' && c != '.') return false;
  }
  if (zone == std::string_view::npos) return true;
  const std::string_view zoneName = address.substr(zone + 1);
  if (zoneName.empty()) return false;
  for (char c : zoneName) {
    if (!isLetter(c) && !isDigit(c) && c != '-' && c != '_' && c != '.') return false;
  }
  return true;
}

// ":PORT" with PORT from 1 to 65535.
std::optional<std::uint16_t> portNumber(std::string_view text) {
  if (text.empty() || text.front() != ':') return std::nullopt;
  const std::string_view digits = text.substr(1);
  if (digits.empty() || digits.size() > kMaxPortDigits) return std::nullopt;
  unsigned value = 0;
  for (char c : digits) {
    if (!isDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > kMaxPortNumber) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

struct ParsedName {
  std::optional<NetworkAddress> address;
  const char* problem = nullptr;  // when there is no address
};

ParsedName parseHostAndPort(std::string_view rest) {
  std::string_view host;
  std::string_view tail;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return {std::nullopt, "no ] after the IPv6 address"};
    host = rest.substr(1, close - 1);
    tail = rest.substr(close + 1);
    if (!validIpv6(host)) return {std::nullopt, "not an IPv6 address between [ and ]"};
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) return {std::nullopt, "no :PORT"};
    host = rest.substr(0, colon);
    tail = rest.substr(colon);
    if (host.find(':') != std::string_view::npos) {
      return {std::nullopt, "an IPv6 address goes between [ and ]"};
    }
    if (host.empty()) return {std::nullopt, "no host"};
    if (!validHostName(host)) return {std::nullopt, "not a host name or IPv4 address"};
  }
  const std::optional<std::uint16_t> port = portNumber(tail);
  if (!port) return {std::nullopt, "the port must be a number from 1 to 65535"};
  return {NetworkAddress{std::string(host), *port}, nullptr};
}

}  // namespace

bool isNetworkPortName(std::string_view name) {
  return startsWithNoCase(name, kRfc2217Scheme);
}

std::optional<NetworkAddress> parseNetworkPortName(std::string_view name) {
  if (!isNetworkPortName(name)) return std::nullopt;
  return parseHostAndPort(name.substr(kRfc2217Scheme.size())).address;
}

std::string portNameProblem(std::string_view name) {
  const std::string given(name);
  if (isNetworkPortName(name)) {
    const ParsedName parsed = parseHostAndPort(name.substr(kRfc2217Scheme.size()));
    if (parsed.address) return {};
    return "the port name " + given + " is malformed (" + parsed.problem + "): " + kNameForm;
  }
  if (startsWithNoCase(name, kRawSocketScheme)) {
    return given +
           " is a raw TCP port, which cannot change the line speed of the serial port behind "
           "it (9600 baud for the loader order, then 115200); an RFC 2217 server is needed: "
           "rfc2217://HOST:PORT";
  }
  if (!schemeOf(name).empty()) {
    return "unknown kind of port " + given +
           ": a serial port of this computer, or a serial device server as rfc2217://HOST:PORT";
  }
  return {};
}

std::string networkPortIdentity(std::string_view name) {
  const std::optional<NetworkAddress> address = parseNetworkPortName(name);
  if (!address) return std::string(name);
  std::string identity(kRfc2217Scheme);
  const bool bracketed = address->host.find(':') != std::string::npos;
  if (bracketed) identity += '[';
  for (char c : address->host) identity += lowerCase(c);
  if (bracketed) identity += ']';
  return identity + ":" + std::to_string(address->port);
}

}  // namespace quorvel
