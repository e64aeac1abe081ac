#pragma once

#include <string>
#include <string_view>

// Windows only: the wide-character form of the UTF-8 text the program carries, for the
// system's W calls, and back. Invalid input becomes U+FFFD, never an error.
namespace quorvel {

std::wstring widened(std::string_view utf8);
std::string narrowed(std::wstring_view utf16);

// What the system says of a Win32 error code, with the code: "Access is denied. (error 5)".
std::string systemErrorText(unsigned long code);

}  // namespace quorvel
