#include "engine/instrument_probe.h"

#include <system_error>
#include <thread>

#include "engine/downloader.h"
#include "engine/modbus_link.h"
#include "serial/port_reservation.h"

namespace quorvel {
namespace {

ProbeStatus statusOf(OpenFailure failure) {
  switch (failure) {
    case OpenFailure::Missing:
      return ProbeStatus::Missing;
    case OpenFailure::Busy:
      return ProbeStatus::Busy;
    case OpenFailure::NoPermission:
      return ProbeStatus::NoPermission;
    case OpenFailure::NotSerial:
      return ProbeStatus::NotSerial;
    default:
      return ProbeStatus::Failed;
  }
}

ProbeStatus statusOf(ModbusReply reply) {
  switch (reply) {
    case ModbusReply::Value:
      return ProbeStatus::Answered;
    case ModbusReply::Exception:
      return ProbeStatus::Exception;
    case ModbusReply::Invalid:
      return ProbeStatus::Garbled;
    case ModbusReply::Silent:
      return ProbeStatus::Silent;
    default:
      return ProbeStatus::Failed;
  }
}

bool isSignalled(const CancelEvent* cancel) {
  return cancel != nullptr && cancel->isSignalled();
}

void probeInto(const std::string& port, TraceSink& traces, const CancelEvent* cancel,
               ProbeResult& result) {
  ScopedTraceSink redirect(traces);
  result = probeInstrument(port, cancel);
}

}  // namespace

ProbeResult probeInstrument(const std::string& port, const CancelEvent* cancel) {
  ProbeResult result;
  result.port = port;
  result.status = ProbeStatus::Cancelled;
  if (isSignalled(cancel)) return result;
  // Held while the probe runs, so that no upgrade starts on the port meanwhile only to find
  // it open at the wrong moment.
  PortReservation reservation;
  if (reservation.reserve(port, PortReservation::Use::Probe) == ReservationStatus::Busy) {
    result.status = ProbeStatus::Reserved;
    return result;
  }
  ModbusLink link;
  link.borrowPort(cancel);
  if (!link.open(kInstrumentSlaveAddress, port.c_str(), kModbusBaud)) {
    result.status = statusOf(link.openFailure());
    if (const char* reason = link.openFailureReason()) result.detail = reason;
    return result;
  }
  const ModbusReply reply = link.queryHoldingRegister(kLoaderAddressRegister, result.registerValue);
  // A wait cut short by the cancel is no silence of the port.
  result.status =
      reply != ModbusReply::Value && isSignalled(cancel) ? ProbeStatus::Cancelled : statusOf(reply);
  link.close();
  return result;
}

std::vector<ProbeResult> probeInstruments(const std::vector<std::string>& ports, TraceSink& traces,
                                          const CancelEvent* cancel) {
  std::vector<ProbeResult> results(ports.size());
  std::vector<std::thread> workers;
  workers.reserve(ports.size());
  for (std::size_t i = 0; i < ports.size(); ++i) {
    try {
      workers.emplace_back(probeInto, std::cref(ports[i]), std::ref(traces), cancel,
                           std::ref(results[i]));
    } catch (const std::system_error&) {
      probeInto(ports[i], traces, cancel, results[i]);  // no thread to spare: this one waits
    }
  }
  for (std::thread& worker : workers) worker.join();
  return results;
}

const char* probeStatusText(ProbeStatus status) {
  switch (status) {
    case ProbeStatus::Answered:
      return "answered";
    case ProbeStatus::Silent:
      return "no answer";
    case ProbeStatus::Exception:
      return "answered with a Modbus exception";
    case ProbeStatus::Garbled:
      return "answer not understood";
    case ProbeStatus::Busy:
      return "in use by another program";
    case ProbeStatus::Reserved:
      return "in use by another upgrade";
    case ProbeStatus::Cancelled:
      return "probe interrupted";
    case ProbeStatus::NoPermission:
      return "permission denied (is the user in the dialout group?)";
    case ProbeStatus::Missing:
      return "does not exist";
    case ProbeStatus::NotSerial:
      return "not a serial device";
    case ProbeStatus::Failed:
      break;
  }
  return "could not be opened";
}

}  // namespace quorvel
