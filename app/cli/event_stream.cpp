#include "app/cli/event_stream.h"

namespace quorvel::cli {

JsonEventStream::JsonEventStream()
    : writer_(OutputFile::takeStandardOutput(), BackgroundWriter::kUnbounded) {}

void JsonEventStream::event(const RunEvent& event) {
  std::string line = formatEventLine(event);
  if (!line.empty()) writer_.pushAlways(std::move(line));
}

std::uint64_t JsonEventStream::finish(const std::function<bool()>& interrupted) {
  return writer_.finish(kEventStreamStallLimit, [&interrupted] { return !interrupted(); })
      .lostLines;
}

}  // namespace quorvel::cli
