#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/cancel_event.h"
#include "serial/trace.h"

namespace quorvel {

// What a port said to the identity probe.
enum class ProbeStatus {
  Answered,      // an instrument answered; its register value is known
  Silent,        // the port opened, nothing answered (no instrument, or one in its loader)
  Exception,     // slave 1 answered with a Modbus exception
  Garbled,       // something answered, but not as slave 1 of a Modbus ASCII line
  Busy,          // another program holds the port
  Reserved,      // another upgrade (or probe) holds the port's reservation: nothing was sent
  NoPermission,  // the user may not open the port
  Missing,       // no such port
  NotSerial,     // the name leads to something that is not a serial port
  Failed,        // the port could not be opened or written for another reason
  Cancelled,     // the probe was cancelled before it had an answer
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
// Never a download order, never a retry. The port is left as it was found: a port that an
// upgrade has reserved, or that shows another user, is not touched; nothing is flushed, and
// the line settings and modem lines are put back. `cancel` (if any) ends the wait at once.
ProbeResult probeInstrument(const std::string& port, const CancelEvent* cancel = nullptr);

// Probes every port at once, one thread each, so the whole takes about one read time-out;
// the results come in the order of `ports`. The probes' traces (a port that does not open
// traces its error) go to `traces`, from all threads.
std::vector<ProbeResult> probeInstruments(const std::vector<std::string>& ports, TraceSink& traces,
                                          const CancelEvent* cancel = nullptr);

// A few words for the user: "no answer", "in use by another program", ...
const char* probeStatusText(ProbeStatus status);

}  // namespace quorvel
