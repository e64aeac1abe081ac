#pragma once

// The fixture of the process tests over several instruments: each a simulator of its own,
// linked into the working directory under its name.
#include <map>
#include <sstream>

#include "tests/app/cli_fixture.h"
#include "tests/support/simulator_process.h"

namespace quorvel::testing {

inline constexpr const char* kImage = "firmware/new.out";  // given with --image

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> all;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) all.push_back(line);
  return all;
}

class CliMultiUnit : public CliInstruments {
 protected:
  CliMultiUnit() { image_ = kImage; }

  // The image, made elsewhere than in the working directory.
  void writeImageElsewhere(const char* words = kSampleWords) {
    writeImage(words);
    fs::create_directory(dir_ / "firmware");
    fs::rename(dir_ / "quorvel.out", dir_ / kImage);
  }

  // The record's lines by port.
  std::map<std::string, std::string> recordByPort(const char* file) {
    std::map<std::string, std::string> byPort;
    for (const std::string& line : lines(readFile(dir_ / file))) {
      const std::size_t at = line.find("\"port\":\"");
      if (at == std::string::npos) continue;
      const std::size_t from = at + 8;
      byPort[line.substr(from, line.find('"', from) - from)] = line;
    }
    return byPort;
  }
};

}  // namespace quorvel::testing
