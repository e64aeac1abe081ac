#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/cli/multi_unit_display.h"
#include "app/cli/record_file.h"
#include "app/cli/transcript.h"
#include "app/cli/unit_record.h"
#include "image/firmware_image.h"
#include "serial/port_list.h"

// Several instruments upgraded at once over one converted image, and the record line of each
// instrument's upgrade.
namespace quorvel::cli {

// What the record lines of one run share, and where they go.
struct RunRecords {
  RecordFile* file = nullptr;               // --record, when given
  UnitRecord common;                        // the fields every line of the run holds alike
  std::vector<SerialPortInfo> listedPorts;  // where the USB serial numbers come from
};

// The USB serial number of the device `port` leads to, when the listing knows it.
std::optional<std::string> usbSerialOf(const std::string& port,
                                       const std::vector<SerialPortInfo>& listed);

// Appends the line of a finished port when a record is kept; a line that cannot be written
// is reported on standard error.
void recordUnit(const RunRecords& records, const UnitOutcome& outcome);

// One transfer per port, in parallel, each with its own loader-mode entry, port, reader and
// cancel event; an interrupt cancels those still running. Shows where each stands on
// standard error, then the summary table. Returns 0 when every port succeeded, else the
// highest result code among them.
int runUnits(const FirmwareImage& image, const std::vector<std::string>& ports,
             Transcript* transcript, const RunRecords& records);

}  // namespace quorvel::cli
