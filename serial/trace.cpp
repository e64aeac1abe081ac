#include "serial/trace.h"

#include <cstdio>
#include <utility>

#include "serial/trace_common.h"

namespace quorvel {
namespace {

// Null: standard output. One pointer per thread, so an unused redirection costs one load.
thread_local TraceSink* threadSink = nullptr;

}  // namespace

namespace detail {

int formatTrace(char* buffer, const char* format, va_list args) {
  int produced = std::vsnprintf(buffer, kTraceBufferSize, format, args);
  if (produced < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return produced < kTraceBufferSize ? produced : kTraceBufferSize - 1;
}

}  // namespace detail

int trace(std::uint8_t enable, const char* format, ...) {
  if (enable == 0) return 0;
  char buffer[kTraceBufferSize];
  va_list args;
  va_start(args, format);
  int length = detail::formatTrace(buffer, format, args);
  va_end(args);
  if (threadSink != nullptr) {
    threadSink->write(std::string_view(buffer, static_cast<std::size_t>(length)));
  } else {
    detail::writeTrace(buffer, static_cast<std::size_t>(length));
  }
  return length;
}

void writeStandardOutput(std::string_view text) {
  detail::writeTrace(text.data(), text.size());
}

ScopedTraceSink::ScopedTraceSink(TraceSink& sink) : previous_(std::exchange(threadSink, &sink)) {}

ScopedTraceSink::~ScopedTraceSink() {
  threadSink = previous_;
}

}  // namespace quorvel
