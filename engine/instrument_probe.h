#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/trace.h"

namespace quorvel {

// What a port said to the identity probe.
enum class ProbeStatus {
  Answered,      // an instrument answered; its register value is known
  Silent,        // the port opened, nothing answered (no instrument, or one in its loader)
  Exception,     // slave 1 answered with a Modbus exception
  Garbled,       // something answered, but not as slave 1 of a Modbus ASCII line
  Busy,          // another program holds the port
  NoPermission,  // the user may not open the port
  Missing,       // no such port
  NotSerial,     // the name leads to something that is not a serial port
  Failed,        // the port could not be opened or written for another reason
};

struct ProbeResult {
  std::string port;
  ProbeStatus status = ProbeStatus::Failed;
  std::uint16_t registerValue = 0;  // the loader address register, when Answered
  std::string detail;               // a network port that did not open: what it ran into
};

// Asks `port` whether an instrument is behind it, with the read that starts the loader-mode
// entry and nothing else: the port opened at the Modbus rate, one read request of holding
// register 0x001C of slave 1, one wait of at most the Modbus read time-out, the port closed.
// Never a download order, never a retry.
ProbeResult probeInstrument(const std::string& port);

// Probes every port at once, one thread each, so the whole takes about one read time-out;
// the results come in the order of `ports`. The probes' traces (a port that does not open
// traces its error) go to `traces`, from all threads.
std::vector<ProbeResult> probeInstruments(const std::vector<std::string>& ports, TraceSink& traces);

// A few words for the user: "no answer", "in use by another program", ...
const char* probeStatusText(ProbeStatus status);

}  // namespace quorvel
