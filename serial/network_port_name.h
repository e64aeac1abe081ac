#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Port names that lead to a serial device server on the network instead of a local device:
// "rfc2217://HOST:PORT", HOST a name, an IPv4 address or an [IPv6] address. Pure text
// functions, the same on every platform.
namespace quorvel {

inline constexpr std::string_view kRfc2217Scheme = "rfc2217://";
// The longest name that can be valid: the scheme, a 253-character host name (the longest
// DNS name), ":" and five digits.
inline constexpr std::size_t kMaxNetworkPortNameChars = kRfc2217Scheme.size() + 253 + 6;

struct NetworkAddress {
  std::string host;  // without the brackets of an IPv6 address
  std::uint16_t port = 0;
};

// True for every name in the rfc2217:// form, well formed or not: such a name is never a
// local device.
bool isNetworkPortName(std::string_view name);

// The host and port of a well-formed rfc2217:// name; nullopt for anything else.
std::optional<NetworkAddress> parseNetworkPortName(std::string_view name);

// Why `name` cannot be used as a port, in one line for a usage error; empty when it can (a
// well-formed network name, or anything that is not of the scheme://... form, which the
// open of a local port judges).
std::string portNameProblem(std::string_view name);

// One text for every spelling of one server's port: the scheme and host in lower case, the
// port number without leading zeros. Names are not resolved.
std::string networkPortIdentity(std::string_view name);

}  // namespace quorvel
