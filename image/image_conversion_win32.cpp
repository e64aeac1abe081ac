#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "image/image_conversion.h"
#include "image/image_conversion_platform.h"

namespace quorvel {

namespace {

constexpr const char* kComspecVariable = "COMSPEC";
constexpr const char* kDefaultCommandProcessor = "cmd.exe";
constexpr UINT kStoppedExitCode = 1;

std::atomic<bool> gStopRequested{false};
std::atomic<HANDLE> gStopEvent{nullptr};  // manual-reset, set by a stop request

// Made once and kept: the console control thread may set it at any time.
HANDLE stopEvent() {
  static const HANDLE event = [] {
    HANDLE created = CreateEventA(nullptr, TRUE, FALSE, nullptr);
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
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  return job;
}

const std::string kConverterArguments =
    std::string(" -a ") + kImageFileName + " -o " + kLsbFileName + " -o " + kMsbFileName;

std::string quoted(const char* text) {
  return std::string("\"") + text + "\"";
}

// The program to start (null: searched for by name) and its command line.
struct Launch {
  const char* program;
  std::string commandLine;
};

// Through the command processor named by COMSPEC, as the dialogs have always run the
// converter; without COMSPEC it is searched for by name, as system() does.
Launch commandProcessorLaunch(const char* converter) {
  const char* comspec = std::getenv(kComspecVariable);
  const bool named = comspec != nullptr && *comspec != '\0';
  return {named ? comspec : nullptr, quoted(named ? comspec : kDefaultCommandProcessor) + " /c " +
                                         converter + kConverterArguments};
}

Launch directLaunch(const char* converter) {
  return {converter, quoted(converter) + kConverterArguments};
}

bool createSuspended(const Launch& start, const char* directory, DWORD flags,
                     PROCESS_INFORMATION& process) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  std::string commandLine = start.commandLine;
  // Suspended until it is in the job; no console window flashes up over the dialogs.
  return CreateProcessA(start.program, commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_SUSPENDED | flags, nullptr,
                        *directory != '\0' ? directory : nullptr, &startup, &process) != FALSE;
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
  if (!startConverter(start, directory, job.get(), process, inJob)) return false;
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
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(name, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

bool deleteFile(const char* name) {
  if (DeleteFileA(name)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  return RemoveDirectoryA(name) != FALSE;
}

}  // namespace detail

}  // namespace quorvel
