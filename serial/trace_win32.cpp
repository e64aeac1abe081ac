#include <windows.h>

#include "serial/trace_common.h"

namespace quorvel::detail {

void writeTrace(const char* text, std::size_t length) {
  // The standard output handle is looked up on every call, so a console attached later
  // receives traces from then on. A redirected handle (file or pipe) is not a console:
  // WriteConsoleA fails there, and WriteFile lets the traces be captured in a log.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  if (WriteConsoleA(out, text, static_cast<DWORD>(length), &written, nullptr)) return;
  WriteFile(out, text, static_cast<DWORD>(length), &written, nullptr);
}

}  // namespace quorvel::detail
