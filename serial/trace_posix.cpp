#include <unistd.h>

#include <cerrno>

#include "serial/trace_common.h"

namespace quorvel::detail {

void writeTrace(const char* text, std::size_t length) {
  // One write keeps traces of two threads from interleaving inside a line; a short write
  // (a full pipe) is finished so that nothing is lost, and errors are ignored.
  while (length > 0) {
    ssize_t written = ::write(STDOUT_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<std::size_t>(written);
  }
}

}  // namespace quorvel::detail
