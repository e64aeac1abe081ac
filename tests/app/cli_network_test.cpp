// quorvel-upgrade with instruments behind serial device servers: ser2net in front of the
// simulated instrument's pseudo-terminal, and servers that cannot serve.
#include <cstdio>
#include <map>

#include "serial/telnet_com_port.h"
#include "tests/app/cli_fixture.h"
#include "tests/support/device_servers.h"
#include "tests/support/simulator_process.h"

namespace quorvel::testing {
namespace {

constexpr const char* kImage = "fw.hex";  // given with --image
constexpr const char* kPortNotOpened = "ERROR : Unable to open serial port.\n";
constexpr std::uint32_t kImageAddress = 0x10000;  // byte address of the first word
constexpr std::size_t kHexRecordBytes = 16;

// An Intel HEX image whose words are all 0xFFFF but the compatibility word (1.3): every data
// byte on the line is the one that Telnet doubles.
std::string allOnesImage(std::size_t words) {
  std::vector<std::uint8_t> bytes(2 * words, 0xFF);
  bytes[0] = 0x03;
  bytes[1] = 0x01;
  char line[80];
  std::string hex =
      ":02000004"
      "0001"
      "F9\n";
  for (std::size_t at = 0; at < bytes.size(); at += kHexRecordBytes) {
    const std::size_t count = std::min(kHexRecordBytes, bytes.size() - at);
    const auto offset = static_cast<unsigned>((kImageAddress + at) & 0xFFFFu);
    unsigned sum = static_cast<unsigned>(count) + (offset >> 8) + (offset & 0xFFu);
    std::snprintf(line, sizeof line, ":%02X%04X00", static_cast<unsigned>(count), offset);
    hex += line;
    for (std::size_t i = 0; i < count; ++i) {
      std::snprintf(line, sizeof line, "%02X", bytes[at + i]);
      hex += line;
      sum += bytes[at + i];
    }
    std::snprintf(line, sizeof line, "%02X\n", (0x100u - (sum & 0xFFu)) & 0xFFu);
    hex += line;
  }
  return hex + ":00000001FF\n";
}

class CliNetwork : public CliInstruments {
 protected:
  CliNetwork() { image_ = kImage; }

  void SetUp() override {
    CliProcess::SetUp();
    if (ser2netProgram().empty()) GTEST_SKIP() << "ser2net is not installed";
  }

  void writeSampleImage(const char* words = kSampleWords) {
    writeImage(words);
    fs::rename(dir_ / "quorvel.out", dir_ / kImage);
  }

  // ser2net in front of the instruments named, one connection each.
  void serve(const std::vector<std::string>& names, const std::string& accepter = {}) {
    std::vector<Ser2netConnection> connections;
    for (const std::string& name : names) {
      connections.push_back({(dir_ / name).string()});
      if (!accepter.empty()) connections.back().accepter = accepter;
    }
    server_ = std::make_unique<Ser2netServer>(dir_.path(), connections);
    ASSERT_TRUE(server_->ready()) << server_->log();
  }

  std::unique_ptr<Ser2netServer> server_;
};

// Byte for byte through the server, the record and the transcript naming the port as given;
// then an image of 0xFF words, each of whose bytes travels doubled.
TEST_F(CliNetwork, UpgradesThroughTheServerByteForByte) {
  writeSampleImage();
  writeConverter();
  addInstrument("unit");
  serve({"unit"});
  const std::string port = server_->portName(0);
  Outcome outcome = run({"--port", port, "--yes", "--image", kImage, "--record", "units.jsonl",
                         "--transcript", "line.txt"});
  EXPECT_EQ(outcome.status, 0) << outcome.err << outcome.out;
  EXPECT_TRUE(contains(outcome.err, "Download successful.\n")) << outcome.err;
  expectUpgraded("unit");
  EXPECT_TRUE(contains(readFile(dir_ / "units.jsonl"), "\"port\":\"" + port + "\""));
  const std::string transcript = readFile(dir_ / "line.txt");
  EXPECT_TRUE(contains(transcript, " " + port + " TX 3A 30 31 30 33 ")) << transcript;
  EXPECT_TRUE(contains(transcript, " " + port + " RX 47 ")) << transcript;

  instruments_.clear();
  writeFile(dir_ / kImage, allOnesImage(9000));
  addInstrument("ones");
  serve({"ones"});
  outcome = run({"--port", server_->portName(0), "--yes", "--image", kImage});
  EXPECT_EQ(outcome.status, 0) << outcome.err << outcome.out;
  expectUpgraded("ones");
  EXPECT_FALSE(temporaryFilesLeft());
}

// Two instruments behind one server and one on a local line, found and upgraded in one run.
TEST_F(CliNetwork, TwoBehindOneServerAndOneLocal) {
  writeSampleImage();
  writeConverter();
  addInstrument("net1");
  addInstrument("net2");
  addInstrument("local");
  serve({"net1", "net2"});
  const std::vector<std::string> ports = {server_->portName(0), server_->portName(1), "local"};
  Outcome found = run({"--find", "--port", ports[0], "--port", ports[1], "--port", ports[2]});
  EXPECT_EQ(found.status, 0) << found.err;
  for (const std::string& port : ports) {
    EXPECT_TRUE(contains(found.out, port + "\tregister 0x0100\n")) << found.out;
  }
  Outcome outcome = run({"--port", ports[0], "--port", ports[1], "--port", ports[2], "--yes",
                         "--image", kImage, "--record", "units.jsonl"});
  EXPECT_EQ(outcome.status, 0) << outcome.err << outcome.out;
  for (const char* name : {"net1", "net2", "local"}) expectUpgraded(name);
  const std::string record = readFile(dir_ / "units.jsonl");
  for (const std::string& port : ports) {
    EXPECT_TRUE(contains(record, "\"port\":\"" + port + "\"")) << record;
  }
}

// A port that is no RFC 2217 server, nothing listening, a name that does not resolve: the
// usual open failure, each with its reason.
TEST_F(CliNetwork, PortsThatCannotServeEndWith10AndSayWhy) {
  writeSampleImage();
  writeConverter();
  addInstrument("raw");
  serve({"raw"}, "tcp");
  struct Case {
    std::string port;
    const char* reason;
  };
  const Case cases[] = {
      {server_->portName(0), "no Com Port Control"},
      {refusingPortName(), "connection refused"},
      {"rfc2217://nohost.invalid:4001", "host name not resolved"},
  };
  for (const Case& c : cases) {
    Outcome outcome = run({"--port", c.port, "--yes", "--image", kImage});
    EXPECT_EQ(outcome.status, 10) << c.port << outcome.err;
    EXPECT_TRUE(outcome.err.ends_with(kPortNotOpened)) << outcome.err;
    EXPECT_TRUE(contains(outcome.out, "Open RS232 Error (line ")) << outcome.out;
    EXPECT_TRUE(contains(outcome.out, c.port + ": " + c.reason)) << outcome.out;
  }
  EXPECT_FALSE(temporaryFilesLeft());
}

// A server that dies in the middle of the transfer is a pulled line: the same result, and no
// "GO" after the partial image.
TEST_F(CliNetwork, ServerKilledMidTransferIsAPulledLine) {
  writeSampleImage("40000");
  writeConverter();
  addInstrument("unit", {"--pace"});
  serve({"unit"});
  Child cli(cliSetup({"--port", server_->portName(0), "--yes", "--image", kImage}, std::string()));
  ASSERT_TRUE(waitForText(dir_ / "cli.out", "Sending sector number 2,", kRunTimeout));
  server_->kill();
  Outcome outcome = finish(cli);
  EXPECT_EQ(outcome.status, 30) << outcome.err << outcome.out;
  EXPECT_TRUE(contains(outcome.out, "Download failed : max number of tries reached\n"));
  expectNoGo("unit");
  EXPECT_FALSE(temporaryFilesLeft());
}

// Ctrl+C while the server is being negotiated with (it takes the connection and never
// answers) cancels at once, not when the negotiation's time is up.
TEST_F(CliNetwork, InterruptWhileConnectingCancels) {
  writeSampleImage();
  writeConverter();
  CannedServer silent({});
  Child cli(cliSetup({"--port", silent.portName(), "--yes", "--image", kImage}, std::string()));
  ASSERT_TRUE(silent.waitForClient(kRunTimeout));
  cli.signal(SIGINT);
  Outcome outcome = finish(cli);
  EXPECT_EQ(outcome.status, 40) << outcome.err << outcome.out;
  EXPECT_TRUE(outcome.err.ends_with("Download canceled by user.\n")) << outcome.err;
  EXPECT_TRUE(contains(outcome.out, silent.portName() + ": connection canceled")) << outcome.out;
  EXPECT_FALSE(contains(outcome.out, "Com Port Control")) << outcome.out;
  EXPECT_FALSE(temporaryFilesLeft());
}

}  // namespace
}  // namespace quorvel::testing
