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

// Forms a general option parser would take apart are unknown options, named whole, after
// whatever the arguments before them decide.
TEST(CliOptions, RefusesClusteredFlagsAndFlagsWithValues) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--port", "COM1", "-yh"}, "unknown option -yh"},
      {{"-yes", "--port", "COM1"}, "unknown option -yes"},
      {{"--port", "COM1", "--yes=true"}, "unknown option --yes=true"},
      {{"--list-ports="}, "unknown option --list-ports="},
      {{"--bogus", "-yh"}, "unknown option --bogus"},
  };
  for (const auto& [args, error] : cases) {
    const CliOptions options = parseOptions(args);
    EXPECT_EQ(options.action, Action::UsageError) << error;
    EXPECT_EQ(options.error, error);
  }
  EXPECT_EQ(parseOptions({"--help", "-yh"}).action, Action::Help);
  EXPECT_EQ(parseOptions({"--port", "-yh"}).ports, Ports{"-yh"});
}

TEST(CliOptions, TakesTheFilesOfAnUpgradeAndUpTo32DistinctPorts) {
  CliOptions options =
      parseOptions({"--port", "a", "--image", "fw/new.out", "--converter=bin/hex55", "--record",
                    "units.jsonl", "--transcript=line.txt"});
  ASSERT_EQ(options.action, Action::Run) << options.error;
  EXPECT_EQ(options.image, "fw/new.out");
  EXPECT_EQ(options.converter, "bin/hex55");
  EXPECT_EQ(options.record, "units.jsonl");
  EXPECT_EQ(options.transcript, "line.txt");

  std::vector<std::string> args;
  for (std::size_t i = 0; i < kMaxPorts; ++i)
    args.insert(args.end(), {"--port", std::string("p").append(std::to_string(i))});
  EXPECT_EQ(parseOptions(args).ports.size(), kMaxPorts);
  args.insert(args.end(), {"--port", "one-more"});
  EXPECT_NE(parseOptions(args).error.find("at most 32"), std::string::npos);

  struct Refused {
    std::vector<std::string> args;
    const char* says;
  };
  const Refused refused[] = {
      {{"--port", "a", "--port", "b", "--port", "a"}, "the port a is given twice"},
      {{"--port", "auto", "--port", "a"}, "no other --port"},
      {{"--find", "--record", "r"}, "--record applies to an upgrade only"},
      {{"--list-ports", "--image", "x"}, "--image applies to an upgrade only"},
      {{"--port", "a", "--image"}, "option --image needs a FILE"},
      {{"--port", "a", "--transcript="}, "the value of --transcript is empty"},
  };
  for (const Refused& r : refused) {
    CliOptions refusedOptions = parseOptions(r.args);
    EXPECT_EQ(refusedOptions.action, Action::UsageError) << r.says;
    EXPECT_NE(refusedOptions.error.find(r.says), std::string::npos) << refusedOptions.error;
  }
}

// Network names wherever a port goes, mixed with local ones; a malformed one, a raw TCP port
// and an unknown kind of name are usage errors that say why; two spellings of one server's
// port are one port.
TEST(CliOptions, NetworkPortNames) {
  for (const char* name : {"rfc2217://bench-12.plant.example:4001", "RFC2217://10.0.0.7:2217",
                           "rfc2217://[fe80::1%eth0]:7001", "rfc2217://[::1]:65535"}) {
    CliOptions run = parseOptions({"--port", name, "--port", "/dev/ttyUSB0", "--yes"});
    EXPECT_EQ(run.action, Action::Run) << run.error;
    EXPECT_EQ(run.ports, (Ports{name, "/dev/ttyUSB0"}));
    EXPECT_EQ(parseOptions({"--find", "--port", name}).action, Action::Find) << name;
  }
  struct Refused {
    const char* name;
    const char* says;
  };
  const Refused refused[] = {
      {"rfc2217://host", "(no :PORT)"},
      {"rfc2217://:4001", "(no host)"},
      {"rfc2217://host:0", "(the port must be a number from 1 to 65535)"},
      {"rfc2217://host:65536", "(the port must be a number from 1 to 65535)"},
      {"rfc2217://host:40x1", "(the port must be a number from 1 to 65535)"},
      {"rfc2217://fe80::1:4001", "(an IPv6 address goes between [ and ])"},
      {"rfc2217://[fe80::1:4001", "(no ] after the IPv6 address)"},
      {"rfc2217://[bench]:4001", "(not an IPv6 address between [ and ])"},
      {"rfc2217://bad_host!:4001", "(not a host name or IPv4 address)"},
      {"rfc2217://host:4001/x", "(the port must be a number from 1 to 65535)"},
      {"socket://10.0.0.7:4001",
       "socket://10.0.0.7:4001 is a raw TCP port, which cannot change the line speed"},
      {"telnet://10.0.0.7:23", "unknown kind of port telnet://10.0.0.7:23"},
  };
  for (const Refused& r : refused) {
    for (const char* action : {"--yes", "--find"}) {
      CliOptions options = parseOptions({"--port", r.name, action});
      EXPECT_EQ(options.action, Action::UsageError) << r.name;
      EXPECT_NE(options.error.find(r.says), std::string::npos) << options.error;
    }
  }
  EXPECT_NE(parseOptions({"--port", "socket://h:1", "--yes"})
                .error.find("an RFC 2217 server is "
                            "needed"),
            std::string::npos);
  CliOptions twice =
      parseOptions({"--port", "rfc2217://Bench:4001", "--port", "rfc2217://bench:04001"});
  EXPECT_NE(twice.error.find("are the same device"), std::string::npos) << twice.error;
  EXPECT_EQ(
      parseOptions({"--port", "rfc2217://bench:4001", "--port", "rfc2217://bench:4002"}).action,
      Action::Run);
}

TEST(CliOptions, VerifyAndJsonAreForUnattendedUpgrades) {
  CliOptions plain = parseOptions({"--port", "a"});
  EXPECT_FALSE(plain.verify);
  EXPECT_FALSE(plain.json);
  EXPECT_EQ(plain.verifyTimeoutSeconds, 60u);
  for (const char* seconds : {"1", "600", "007"}) {
    CliOptions options =
        parseOptions({"--port", "a", "--yes", "--verify", "--verify-timeout", seconds, "--json"});
    ASSERT_EQ(options.action, Action::Run) << options.error;
    EXPECT_TRUE(options.verify && options.json);
    EXPECT_EQ(options.verifyTimeoutSeconds, std::stoul(seconds));
  }
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"--verify-timeout", "0"}, "--verify-timeout takes whole seconds from 1 to 600, not \"0\""},
      {{"--verify-timeout=601"}, "not \"601\""},
      {{"--verify-timeout", "1.5"}, "not \"1.5\""},
      {{"--verify-timeout", "-5"}, "not \"-5\""},
      {{"--verify-timeout", "60s"}, "not \"60s\""},
      {{"--verify-timeout="}, "not \"\""},
      {{"--verify-timeout"}, "option --verify-timeout needs a SECONDS"},
  };
  for (const auto& [extra, says] : refused) {
    std::vector<std::string> args = {"--port", "a", "--yes", "--verify"};
    args.insert(args.end(), extra.begin(), extra.end());
    const CliOptions options = parseOptions(args);
    EXPECT_EQ(options.action, Action::UsageError) << says;
    EXPECT_NE(options.error.find(says), std::string::npos) << options.error;
  }
  const std::pair<std::vector<std::string>, std::string> misplaced[] = {
      {{"--port", "a", "--verify-timeout", "5"}, "--verify-timeout goes with --verify"},
      {{"--port", "a", "--json"}, "--json needs --yes"},
      {{"--find", "--json"}, "--json applies to an upgrade only"},
      {{"--list-ports", "--verify"}, "--verify applies to an upgrade only"},
  };
  for (const auto& [args, says] : misplaced) {
    EXPECT_EQ(parseOptions(args).error, says);
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
