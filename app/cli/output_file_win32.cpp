#include <io.h>
#include <windows.h>

#include <cstdio>
#include <utility>

#include "app/cli/output_file.h"

namespace quorvel::cli {
namespace {

HANDLE handleOf(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

OutputFile OutputFile::takeStandardOutput() {
  OutputFile out;
  HANDLE process = GetCurrentProcess();
  HANDLE original = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE own = nullptr;
  if (original == nullptr || original == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(process, original, process, &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return out;
  }
  out.file_ = NamedFile(reinterpret_cast<std::intptr_t>(own));
  SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
  std::fflush(stdout);
  _dup2(_fileno(stderr), _fileno(stdout));
  return out;
}

// Windows files and pipes block until the bytes are taken: never "full".
OutputFile::Written OutputFile::writeSome(const char* data, std::size_t size) {
  Written result;
  DWORD written = 0;
  const DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
  if (!WriteFile(handleOf(file_.handle()), data, chunk, &written, nullptr)) {
    result.failed = true;
    return result;
  }
  result.bytes = written;
  result.full = written == 0;
  return result;
}

void OutputFile::waitForRoom(std::uint32_t ms) {
  Sleep(ms);
}

}  // namespace quorvel::cli
