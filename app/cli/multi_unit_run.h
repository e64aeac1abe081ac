#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/multi_unit_display.h"
#include "app/cli/port_transfer.h"
#include "app/cli/record_file.h"
#include "app/cli/run_event.h"
#include "app/cli/unit_record.h"
#include "image/firmware_image.h"
#include "serial/port_list.h"
#include "serial/port_reservation.h"

// Several instruments upgraded at once over one converted image, and the record line of each
// instrument's upgrade.
namespace quorvel::cli {

// The record file as a consumer of the run's events: one line for each unit that ended.
// A line that cannot be written is reported on standard error, and remembered.
class RecordSink : public EventSink {
 public:
  explicit RecordSink(RecordFile& file) : file_(file) {}
  void event(const RunEvent& event) override;
  // True when the line of `port` could not be written.
  bool lost(const std::string& port) const;

 private:
  RecordFile& file_;
  mutable std::mutex mutex_;
  std::vector<std::string> lostPorts_;
};

// What the unit events of one run share, and where they go.
struct RunRecords {
  EventSink* sinks = nullptr;               // the record, the JSON stream: null when neither
  const RecordSink* record = nullptr;       // the record among them, if any
  UnitRecord common;                        // the fields every unit holds alike
  std::vector<SerialPortInfo> listedPorts;  // where the USB serial numbers come from
};

// The USB serial number of the device `port` leads to, when the listing knows it.
std::optional<std::string> usbSerialOf(const std::string& port,
                                       const std::vector<SerialPortInfo>& listed);

// Tells the run's sinks that a port's upgrade has ended, with everything the record keeps.
// False when the record could not keep it.
bool recordUnit(const RunRecords& records, const UnitOutcome& outcome);

// The line that ends a run whose record lacks a unit that succeeded: its exit status is 2.
inline constexpr const char* kRecordIncomplete =
    "The record is incomplete: the exit status is 2 although the upgrade succeeded.";

// One transfer per port, in parallel, each with its own loader-mode entry, port, reader and
// cancel event; an interrupt cancels those still running. The reservation of each port (in
// the order of `ports`) is given up as soon as its transfer has ended. `setup` serves every
// port (its
// route of traces is chosen here unless it is TraceRoute::Events). Shows where each stands on
// standard error, then the summary table. Returns the highest result code among the ports;
// when all succeeded, 0, or 2 when the record lacks any of them.
int runUnits(const FirmwareImage& image, const std::vector<std::string>& ports,
             PortTransfer::Setup setup, const RunRecords& records,
             std::vector<PortReservation>& reservations);

}  // namespace quorvel::cli
