#include "engine/instrument_probe.h"

#include <system_error>
#include <thread>

#include "engine/downloader.h"
#include "engine/modbus_link.h"

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

void probeInto(const std::string& port, TraceSink& traces, ProbeResult& result) {
  ScopedTraceSink redirect(traces);
  result = probeInstrument(port);
}

}  // namespace

ProbeResult probeInstrument(const std::string& port) {
  ProbeResult result;
  result.port = port;
  ModbusLink link;
  if (!link.open(kInstrumentSlaveAddress, port.c_str(), kModbusBaud)) {
    result.status = statusOf(link.openFailure());
    if (const char* reason = link.openFailureReason()) result.detail = reason;
    return result;
  }
  result.status = statusOf(link.queryHoldingRegister(kLoaderAddressRegister, result.registerValue));
  link.close();
  return result;
}

std::vector<ProbeResult> probeInstruments(const std::vector<std::string>& ports,
                                          TraceSink& traces) {
  std::vector<ProbeResult> results(ports.size());
  std::vector<std::thread> workers;
  workers.reserve(ports.size());
  for (std::size_t i = 0; i < ports.size(); ++i) {
    try {
      workers.emplace_back(probeInto, std::cref(ports[i]), std::ref(traces), std::ref(results[i]));
    } catch (const std::system_error&) {
      probeInto(ports[i], traces, results[i]);  // no thread to spare: this one waits its turn
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
