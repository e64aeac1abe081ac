#include <windows.h>

#include <atomic>
#include <string>

#include "image/image_conversion.h"
#include "image/image_conversion_platform.h"
#include "platform/utf16.h"
#include "serial/trace.h"

namespace quorvel {

namespace {

constexpr const wchar_t* kComspecVariable = L"COMSPEC";
constexpr const char* kDefaultCommandProcessor = "cmd.exe";
constexpr UINT kStoppedExitCode = 1;

std::atomic<bool> gStopRequested{false};
std::atomic<HANDLE> gStopEvent{nullptr};  // manual-reset, set by a stop request

// Made once and kept: the console control thread may set it at any time.
HANDLE stopEvent() {
  static const HANDLE event = [] {
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    gStopEvent.store(created);
    return created;
  }();
  return event;
}

// Closes a kernel handle when it goes out of scope.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~OwnedHandle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A job whose processes all end when its last handle closes: the command processor, the
// converter and whatever they start never outlive us.
HANDLE createKillOnCloseJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  return job;
}

const std::string kConverterArguments =
    std::string(" -a ") + kImageFileName + " -o " + kLsbFileName + " -o " + kMsbFileName;

std::wstring quoted(const std::wstring& text) {
  return L"\"" + text + L"\"";
}

// The program to start (empty: searched for by name) and its command line, wide: the paths
// may lie outside the system's code page (a user's TEMP folder).
struct Launch {
  std::wstring program;
  std::wstring commandLine;
};

std::wstring environmentVariable(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), size));
  return value;
}

// Through the command processor named by COMSPEC, as the dialogs have always run the
// converter; without COMSPEC it is searched for by name, as system() does.
Launch commandProcessorLaunch(const char* converter) {
  const std::wstring comspec = environmentVariable(kComspecVariable);
  return {comspec, quoted(comspec.empty() ? widened(kDefaultCommandProcessor) : comspec) + L" /c " +
                       widened(converter) + widened(kConverterArguments)};
}

Launch directLaunch(const char* converter) {
  return {widened(converter), quoted(widened(converter)) + widened(kConverterArguments)};
}

bool createSuspended(const Launch& start, const char* directory, DWORD flags,
                     PROCESS_INFORMATION& process) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  std::wstring commandLine = start.commandLine;
  const std::wstring where = widened(directory);
  // Suspended until it is in the job; no console window flashes up over the dialogs.
  return CreateProcessW(start.program.empty() ? nullptr : start.program.c_str(), commandLine.data(),
                        nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED | flags,
                        nullptr, where.empty() ? nullptr : where.c_str(), &startup,
                        &process) != FALSE;
}

void discard(PROCESS_INFORMATION& process) {
  TerminateProcess(process.hProcess, kStoppedExitCode);
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// Starts the converter suspended and, where it can, inside `job`, so that whatever it starts
// ends with the job; true in `inJob` then. A program that already runs inside a job nests
// the converter's job in it (Windows 8 and later). Windows 7 nests no jobs: the converter is
// started outside the outer job (breakaway) where that job allows it, and otherwise without
// a job of its own, so that only the converter itself can be ended.
bool startConverter(const Launch& start, const char* directory, HANDLE job,
                    PROCESS_INFORMATION& process, bool& inJob) {
  inJob = false;
  for (const DWORD flags : {DWORD{0}, DWORD{CREATE_BREAKAWAY_FROM_JOB}}) {
    if (!createSuspended(start, directory, flags, process)) {
      if (flags == 0) return false;
      break;  // the outer job allows no breakaway
    }
    if (job == nullptr) return true;
    if (AssignProcessToJobObject(job, process.hProcess)) {
      inJob = true;
      return true;
    }
    discard(process);
  }
  return createSuspended(start, directory, 0, process);
}

}  // namespace

const char* converterFileName() {
  return "hex55.exe";
}
const char* programFileName() {
  return "ZambrioQUORVEL.exe";
}

void requestConverterStop() {
  gStopRequested.store(true);
  if (HANDLE event = gStopEvent.load()) SetEvent(event);
}

namespace detail {

const char* const kDefaultConverter = "hex55";

bool runConverterProcess(const char* converter, const char* directory, ConverterLaunch launch) {
  const HANDLE stop = stopEvent();
  if (gStopRequested) return false;
  Launch start = launch == ConverterLaunch::Direct ? directLaunch(converter)
                                                   : commandProcessorLaunch(converter);
  OwnedHandle job(createKillOnCloseJob());
  PROCESS_INFORMATION process{};
  bool inJob = false;
  if (!startConverter(start, directory, job.get(), process, inJob)) {
    trace(1, "Cannot start the converter %s: %s\n", converter,
          systemErrorText(GetLastError()).c_str());
    return false;
  }
  OwnedHandle processHandle(process.hProcess);
  OwnedHandle thread(process.hThread);
  ResumeThread(process.hThread);
  const HANDLE waits[] = {process.hProcess, stop};
  const DWORD count = stop != nullptr ? 2 : 1;
  if (WaitForMultipleObjects(count, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
    // What the converter left running (a helper it started) ends with it.
    if (inJob) TerminateJobObject(job.get(), kStoppedExitCode);
    return !gStopRequested;
  }
  if (inJob) {
    TerminateJobObject(job.get(), kStoppedExitCode);
  } else {
    TerminateProcess(process.hProcess, kStoppedExitCode);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  return false;
}

bool entryExists(const char* name) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(widened(name).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

bool deleteFile(const char* name) {
  const std::wstring wide = widened(name);
  if (DeleteFileW(wide.c_str())) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  return RemoveDirectoryW(wide.c_str()) != FALSE;
}

}  // namespace detail

}  // namespace quorvel
