#include "serial/port_report.h"

#include "serial/line_monitor.h"
#include "serial/serial_port.h"
#include "serial/trace.h"

namespace quorvel::detail {

void finishRead(const std::uint8_t* buffer, std::uint32_t received, std::uint32_t count,
                bool failed) {
  reportReceived(buffer, received);
  if (failed) {
    trace(1, "RS232 READ ERROR (line %d)\n", kStepReadError);
  } else if (received < count) {
    trace(0, "RS232 READ TIMEOUT\n");
  }
}

void finishWrite(const std::uint8_t* buffer, std::uint32_t written, std::uint32_t count,
                 bool failed) {
  reportSent(buffer, written);
  if (failed) {
    trace(1, "RS232 WRITE ERROR (line %d)\n", kStepWriteError);
  } else if (written < count) {
    trace(1, "RS232 WRITE ERROR (line %d) : %lu char written instead of %lu\n", kStepShortWrite,
          static_cast<unsigned long>(written), static_cast<unsigned long>(count));
  }
}

}  // namespace quorvel::detail
