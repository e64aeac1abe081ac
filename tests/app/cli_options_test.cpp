#include <gtest/gtest.h>

#include "app/cli/cli_front_end.h"
#include "app/cli/cli_options.h"

namespace quorvel::cli {
namespace {

using Action = CliOptions::Action;

using Ports = std::vector<std::string>;

struct ParseCase {
  std::vector<std::string> args;
  Action action;
  Ports ports;
  bool assumeYes;
};

TEST(CliOptions, ParsesTheCommandLine) {
  const ParseCase cases[] = {
      {{"--port", "/dev/ttyUSB0"}, Action::Run, {"/dev/ttyUSB0"}, false},
      {{"--yes", "--port", "COM3"}, Action::Run, {"COM3"}, true},
      {{"--port=COM4", "-y"}, Action::Run, {"COM4"}, true},
      {{"--port", "auto", "--yes"}, Action::Run, {"auto"}, true},
      {{"--port", "COM1", "--help"}, Action::Help, {}, false},
      {{"--version", "--bogus"}, Action::Version, {}, false},
      {{"--list-ports"}, Action::ListPorts, {}, false},
      {{"--find"}, Action::Find, {}, false},
      {{"--port", "a", "--find", "--port=b"}, Action::Find, {"a", "b"}, false},
      {{}, Action::UsageError, {}, false},
      {{"--yes"}, Action::UsageError, {}, false},
      {{"--port"}, Action::UsageError, {}, false},
      {{"--port", ""}, Action::UsageError, {}, false},
      {{"--port="}, Action::UsageError, {}, false},
      {{"--port", "COM1", "--colour"}, Action::UsageError, {}, false},
      {{"--port", "COM1", "extra"}, Action::UsageError, {}, false},
      {{"--port", "a", "--port", "b"}, Action::Run, {"a", "b"}, false},
      {{"--list-ports", "--port", "a"}, Action::UsageError, {}, false},
      {{"--list-ports", "--find"}, Action::UsageError, {}, false},
      {{"--find", "--port", "auto"}, Action::UsageError, {}, false},
      {{"--find", "--port", "a", "--port", ""}, Action::UsageError, {}, false},
  };
  for (const ParseCase& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args) joined += "[" + arg + "]";
    SCOPED_TRACE(joined);
    CliOptions options = parseOptions(c.args);
    EXPECT_EQ(options.action, c.action);
    if (c.action == Action::Run || c.action == Action::Find) {
      EXPECT_EQ(options.ports, c.ports);
      EXPECT_EQ(options.assumeYes, c.assumeYes);
    }
    EXPECT_EQ(options.error.empty(), c.action != Action::UsageError);
  }
}

TEST(CliOptions, OnlyYesAnswersConfirm) {
  for (const char* yes : {"y", "Y", "yes", "YES", " yes ", "Yes"})
    EXPECT_TRUE(isYesAnswer(yes)) << yes;
  for (const char* no : {"", "n", "no", "yess", "y e s x", "ok", "1"}) {
    EXPECT_FALSE(isYesAnswer(no)) << no;
  }
}

}  // namespace
}  // namespace quorvel::cli
