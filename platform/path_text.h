#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Paths travel through the program as UTF-8 text (the command line, messages, the record). On
// POSIX the bytes are the name as they are; on Windows a std::filesystem::path made from a
// narrow string would take it in the system's code page, so text and paths meet only here.
namespace quorvel {

inline std::filesystem::path pathFromText(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string textOfPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace quorvel
