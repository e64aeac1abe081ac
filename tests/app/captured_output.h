#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace quorvel::cli {

// What `write` puts into a stream, read back whole.
inline std::string capturedOutput(const std::function<void(std::FILE*)>& write) {
  std::FILE* file = std::tmpfile();
  write(file);
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
    text.push_back(static_cast<char>(c));
  std::fclose(file);
  return text;
}

}  // namespace quorvel::cli
