#include "app/cli/run_event.h"

#include "app/cli/record_json.h"
#include "image/sector_reader.h"

namespace quorvel::cli {
namespace {

const char* loaderOutcomeName(LoaderEntryOutcome outcome) {
  switch (outcome) {
    case LoaderEntryOutcome::OrderWritten:
      return "order_written";
    case LoaderEntryOutcome::OrderNotWritten:
      return "order_not_written";
    case LoaderEntryOutcome::NoAnswer:
      return "no_answer";
    case LoaderEntryOutcome::PortNotOpened:
      return "port_not_opened";
    case LoaderEntryOutcome::Cancelled:
      break;
  }
  return "canceled";
}

const char* answerName(AnswerKind kind) {
  switch (kind) {
    case AnswerKind::Acknowledged:
      return "G";
    case AnswerKind::Rejected:
      return "B";
    case AnswerKind::Other:
      return "other";
    case AnswerKind::None:
      break;
  }
  return "none";
}

const char* restartOutcomeName(RestartOutcome outcome) {
  switch (outcome) {
    case RestartOutcome::Answered:
      return "answered";
    case RestartOutcome::NotAnswered:
      return "not_answered";
    case RestartOutcome::Cancelled:
      break;
  }
  return "canceled";
}

// Each kind's name and fields, after "time" and "event" (and "port", which the caller adds).
class EventFields {
 public:
  explicit EventFields(Json& object) : object_(object) {}

  const char* operator()(const RunStarted& start) {
    object_["schema_version"] = kEventSchemaVersion;
    object_["tool_version"] = start.toolVersion;
    object_["image"] = start.image;
    object_["image_sha256"] = start.imageSha256 ? Json(*start.imageSha256) : Json(nullptr);
    object_["compatibility"] = start.compatibility;
    object_["words"] = start.words;
    object_["sectors"] = start.sectors;
    object_["ports"] = start.ports;
    return "start";
  }
  const char* operator()(const EntryAttempt& entry) {
    object_["attempt"] = entry.attempt;
    return "entry";
  }
  const char* operator()(const LoaderEntered& loader) {
    object_["acknowledged"] = loader.outcome == LoaderEntryOutcome::OrderWritten;
    object_["outcome"] = loaderOutcomeName(loader.outcome);
    return "loader";
  }
  const char* operator()(const SectorTry& sectorTry) {
    addTry(sectorTry);
    object_["address"] = sectorTry.address;
    // Data words, as everywhere in the stream (the trace line counts the whole frame).
    object_["words"] = sectorTry.frameWords - (kFrameBufferWords - kMaxSectorDataWords);
    return "sector";
  }
  const char* operator()(const SectorAnswered& answered) {
    addTry(answered.sectorTry);
    object_["answer"] = answerName(answered.answer.kind);
    object_["elapsed_ms"] = answered.answer.elapsedMs;
    return "answer";
  }
  const char* operator()(const ProgressMade& progress) {
    object_["percent"] = progress.percent;
    return "progress";
  }
  const char* operator()(const TraceLine& trace) {
    object_["text"] = trace.text;
    return "trace";
  }
  const char* operator()(const RestartCheckBegun&) { return nullptr; }
  const char* operator()(const RestartChecked& check) {
    object_["answered"] = check.outcome == RestartOutcome::Answered;
    object_["outcome"] = restartOutcomeName(check.outcome);
    object_["seconds"] = roundedToMs(check.secondsSinceGo);
    return "verify";
  }
  const char* operator()(const UnitEnded& unit) {
    addUnitFields(object_, unit);
    return "unit";
  }
  const char* operator()(const RunEnded& end) {
    object_["status"] = end.status;
    return "end";
  }

 private:
  void addTry(const SectorTry& sectorTry) {
    object_["sector"] = sectorTry.sector;
    object_["try"] = sectorTry.attempt;
  }

  Json& object_;
};

}  // namespace

std::vector<std::string> traceLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    if (end != 0) lines.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::string formatEventLine(const RunEvent& event) {
  Json object;
  object["time"] = utcTimestampMs(event.time);
  object["event"] = nullptr;  // its place; the name comes with the fields
  // A trace of the run as a whole says so; the unit's port is among its record fields.
  const bool tracing = std::holds_alternative<TraceLine>(event.detail);
  const bool unit = std::holds_alternative<UnitEnded>(event.detail);
  if (event.port && !unit) {
    object["port"] = *event.port;
  } else if (tracing) {
    object["port"] = nullptr;
  }
  Json fields;
  const char* name = std::visit(EventFields(fields), event.detail);
  if (name == nullptr) return {};
  object["event"] = name;
  object.update(fields);
  return jsonLine(object);
}

}  // namespace quorvel::cli
