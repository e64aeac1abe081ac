// Windows: names outside the system's code page (a folder in Greek, files in Chinese, a TEMP
// under a user name in Cyrillic) work for every file the program reads or writes, and the
// record holds them in UTF-8.
#include <windows.h>
#include <winsock2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "app/cli/named_file.h"
#include "app/cli/record_file.h"
#include "app/cli/transcript.h"
#include "app/cli/workspace.h"
#include "platform/path_text.h"
#include "platform/utf16.h"
#include "tools/make-sample-image/sample_image.h"

namespace quorvel::cli {
namespace {

namespace fs = std::filesystem;

const fs::path kCli = fs::absolute(QUORVEL_UPGRADE_FAST_PATH);
const fs::path kConverter = fs::absolute(HEX55_PATH);
constexpr DWORD kRunLimitMs = 60000;

// UTF-8 spelled out, so that the test does not depend on the compiler's source character set.
constexpr const char* kGreekFolder = "\xce\x94\xce\xbf\xce\xba\xce\xb9\xce\xbc\xce\xae";  // Δοκιμή
constexpr const char* kCyrillicUser = "\xd0\x9f\xd0\xbe\xd0\xbb\xd1\x8c\xd0\xb7";  // Польз
constexpr const char* kImageName = "\xe5\x9b\xba\xe4\xbb\xb6.out";                 // 固件.out
constexpr const char* kRecordName = "\xe8\xa8\x98\xe9\x8c\xb2.jsonl";              // 記録.jsonl
constexpr const char* kTranscriptName = "\xe7\xb7\x9a.txt";                        // 線.txt

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class WideNames : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    root_ = fs::temp_directory_path() /
            pathFromText(std::string("quorvel-") + kGreekFolder + "-" + std::to_string(stamp));
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  std::string in(const std::string& name) const { return textOfPath(root_ / pathFromText(name)); }

  fs::path root_;
};

TEST_F(WideNames, PrivateDirectoryImageRecordAndTranscript) {
  const std::string image = in(kImageName);
  std::ofstream(pathFromText(image), std::ios::binary) << "image bytes";
  fs::create_directory(pathFromText(in(kCyrillicUser)));
  std::string privatePath;
  {
    PrivateDirectory directory;
    std::string error;
    ASSERT_TRUE(directory.create(error, in(kCyrillicUser))) << error;
    privatePath = directory.path();
    EXPECT_TRUE(fs::is_directory(pathFromText(privatePath))) << privatePath;
    NamedFile source;
    ASSERT_EQ(source.open(image, FileUse::Read, "the image", error), NamedFile::Outcome::Opened)
        << error;
    const ImageCopy copy = copyImage(source, privatePath, nullptr);
    EXPECT_TRUE(copy.copied) << copy.error;
    EXPECT_EQ(readAll(pathFromText(privatePath) / "quorvel.out"), "image bytes");

    RecordFile record;
    ASSERT_TRUE(record.open(in(kRecordName), error)) << error;
    EXPECT_TRUE(record.append("{\"line\":1}\n", error)) << error;
    Transcript transcript;
    ASSERT_TRUE(transcript.open(in(kTranscriptName), error)) << error;
    transcript.traceLine("COM3", "traced");
    EXPECT_TRUE(transcript.close().complete);
  }
  EXPECT_FALSE(fs::exists(pathFromText(privatePath))) << "the private directory stayed";
  EXPECT_EQ(readAll(pathFromText(in(kRecordName))), "{\"line\":1}\n");
  EXPECT_NE(readAll(pathFromText(in(kTranscriptName))).find(" COM3 -- traced"), std::string::npos);
}

// A port on this machine that nobody listens on: the transfer ends at once with 10.
unsigned short closedPort() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int size = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
  closesocket(s);
  return ntohs(address.sin_port);
}

// The environment of this process with `name` set to `value`, as a CreateProcessW block.
std::wstring environmentWith(const std::map<std::wstring, std::wstring>& changes) {
  std::map<std::wstring, std::wstring> variables;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
    const std::wstring text(entry);
    const std::size_t equals = text.find(L'=', 1);
    if (equals != std::wstring::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  FreeEnvironmentStringsW(block);
  for (const auto& [name, value] : changes) variables[name] = value;
  std::wstring result;
  for (const auto& [name, value] : variables) result += name + L"=" + value + L'\0';
  return result + L'\0';
}

HANDLE inheritableFile(const fs::path& path) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The whole program with its working directory, image, converter, record, transcript and TEMP
// all outside the code page, against a device server that is not there.
TEST_F(WideNames, UpgradeRunWithEveryPathOutsideTheCodePage) {
  sample::SampleOptions options;
  options.words = 2000;
  const std::vector<sample::SampleRun> runs = sample::makeSampleImage(options);
  std::ofstream(pathFromText(in(kImageName)), std::ios::binary) << sample::toIntelHex(runs);
  fs::copy_file(kConverter, root_ / "hex55.exe");
  const fs::path temporary = pathFromText(in(kCyrillicUser)) / "Temp";
  fs::create_directories(temporary);
  const std::string port = "rfc2217://127.0.0.1:" + std::to_string(closedPort());
  std::wstring commandLine = L"\"" + kCli.wstring() + L"\" --yes --port " + widened(port) +
                             L" --image " + widened(kImageName) + L" --record " +
                             widened(kRecordName) + L" --transcript " + widened(kTranscriptName);
  std::wstring environment = environmentWith({{L"TEMP", temporary.wstring()},
                                              {L"TMP", temporary.wstring()},
                                              {L"QUORVEL_TIME_DIVISOR", L"20"}});
  HANDLE output = inheritableFile(root_ / "cli.log");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(kCli.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                             CREATE_UNICODE_ENVIRONMENT, environment.data(), root_.c_str(),
                             &startup, &process))
      << GetLastError();
  ASSERT_EQ(WaitForSingleObject(process.hProcess, kRunLimitMs), WAIT_OBJECT_0);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(output);
  const std::string log = readAll(root_ / "cli.log");
  EXPECT_EQ(status, 10u) << log;  // converted, checked and recorded: only the port failed

  const nlohmann::json record = nlohmann::json::parse(readAll(pathFromText(in(kRecordName))));
  EXPECT_EQ(record["image"], kImageName);
  EXPECT_EQ(record["result"], 10);
  EXPECT_TRUE(record["image_sha256"].is_string()) << record;
  EXPECT_NE(readAll(pathFromText(in(kTranscriptName))).find(" -- "), std::string::npos);
  EXPECT_TRUE(fs::is_empty(temporary)) << "the private directory stayed";
}

}  // namespace
}  // namespace quorvel::cli
