#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "app/cli/unit_record.h"

// The JSON that the record line and the event stream share.
namespace quorvel::cli {

using Json = nlohmann::ordered_json;  // fields stay in the order they are added

// Seconds as the record has always given them: to the millisecond.
double roundedToMs(double seconds);

// The fields of a unit's outcome after `time`: the record line and the `unit` event alike.
void addUnitFields(Json& object, const UnitRecord& record);

// `object` on one line, with its line end; invalid UTF-8 becomes U+FFFD.
std::string jsonLine(const Json& object);

}  // namespace quorvel::cli
