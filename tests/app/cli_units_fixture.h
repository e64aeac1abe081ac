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

class CliMultiUnit : public CliProcess {
 protected:
  // The image, made elsewhere than in the working directory.
  void writeImageElsewhere(const char* words = kSampleWords) {
    writeImage(words);
    fs::create_directory(dir_ / "firmware");
    fs::rename(dir_ / "quorvel.out", dir_ / kImage);
  }

  // A simulated instrument linked as `name` in the working directory; what it receives on
  // "GO" goes to <name>.hex.
  void addInstrument(const std::string& name, std::vector<std::string> faults = {}) {
    std::vector<std::string> args = {"--link",    (dir_ / name).string(),
                                     "--dump",    (dir_ / (name + ".hex")).string(),
                                     "--timeout", "120"};
    args.insert(args.end(), faults.begin(), faults.end());
    instruments_.emplace(name, SimulatorProcess(SIM_PATH, args, (dir_ / (name + ".err")).string()));
    ASSERT_TRUE(instruments_.at(name).ready());
  }

  // The instrument took "GO" and holds exactly the image.
  void expectUpgraded(const std::string& name) {
    EXPECT_EQ(instruments_.at(name).waitExit(), 0) << name;
    auto sent = parseIntelHex(readFile(dir_ / kImage));
    auto received = parseIntelHex(readFile(dir_ / (name + ".hex")));
    ASSERT_TRUE(sent && received) << name;
    EXPECT_TRUE(*sent == *received) << name;
  }

  void expectNoGo(const std::string& name) {
    EXPECT_NE(instruments_.at(name).terminate(), 0) << name;
    EXPECT_FALSE(fs::exists(dir_ / (name + ".hex"))) << name;
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

  std::map<std::string, SimulatorProcess> instruments_;
};

}  // namespace quorvel::testing
