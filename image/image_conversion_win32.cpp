#include <windows.h>

#include <cstdlib>
#include <string>

#include "image/image_conversion.h"
#include "image/image_conversion_platform.h"

namespace quorvel {

namespace {

constexpr const char* kComspecVariable = "COMSPEC";
constexpr const char* kDefaultCommandProcessor = "cmd.exe";
constexpr const char* kConverterCommand = "hex55 -a quorvel.out -o LSB.tmp -o MSB.tmp";

}  // namespace

const char* converterFileName() {
  return "hex55.exe";
}
const char* programFileName() {
  return "ZambrioQUORVEL.exe";
}

void runConverter() {
  const char* comspec = std::getenv(kComspecVariable);
  const bool named = comspec != nullptr && *comspec != '\0';
  // Without COMSPEC the command processor is searched for by name, as system() does.
  std::string commandLine = std::string("\"") + (named ? comspec : kDefaultCommandProcessor) +
                            "\" /c " + kConverterCommand;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // No console window flashes up over the dialogs while the converter runs.
  if (!CreateProcessA(named ? comspec : nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    return;
  }
  // The exit status does not count: whether both temporary files open afterwards does.
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

namespace detail {

bool entryExists(const char* name) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(name, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

void deleteFile(const char* name) {
  DeleteFileA(name);
}

}  // namespace detail

}  // namespace quorvel
