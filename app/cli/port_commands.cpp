#include "app/cli/port_commands.h"

#include <algorithm>
#include <cstdio>

#include "app/cli/cli_options.h"
#include "app/cli/console.h"
#include "app/cli/printable_text.h"
#include "engine/downloader.h"
#include "engine/instrument_probe.h"
#include "platform/cancel_event.h"

namespace quorvel::cli {
namespace {

constexpr const char* kNoPortFound = "No serial port found.";
constexpr const char* kUnknownField = "-";
constexpr const char* kConsoleMark = " (system console)";

std::string usbIdText(const SerialPortInfo& port) {
  if (!port.usbVendorId || !port.usbProductId) return kUnknownField;
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", unsigned{*port.usbVendorId},
                unsigned{*port.usbProductId});
  return text;
}

// Every name and text here may come from a device or the system: printed safely.
std::string orUnknown(const std::string& text) {
  return text.empty() ? kUnknownField : printableText(text);
}

std::string registerText(const ProbeResult& result) {
  char value[32];
  std::snprintf(value, sizeof value, "register 0x%04X", unsigned{result.registerValue});
  return value;
}

// "PORT: no answer", "PORT: answered, register 0x0100".
std::string outcomeText(const ProbeResult& result) {
  std::string text = printableText(result.port) + ": " +
                     (result.detail.empty() ? probeStatusText(result.status) : result.detail);
  if (result.status == ProbeStatus::Answered) text += ", " + registerText(result);
  return text + "\n";
}

std::string outcomeList(const std::vector<ProbeResult>& results) {
  std::string text;
  for (const ProbeResult& result : results) text += "  " + outcomeText(result);
  return text;
}

// The listed ports a search may probe: not the system's console, which would have the
// request written into it and its line settings changed under it; it is probed only when
// the user names it.
std::vector<std::string> searchablePortNames() {
  std::vector<std::string> names;
  for (const SerialPortInfo& port : listSerialPorts()) {
    if (port.isConsole) {
      say(printableText(port.name) +
          ": the system console, not probed (name it with --port to probe it)\n");
    } else {
      names.push_back(port.name);
    }
  }
  return names;
}

// The same name twice would find the port busy with our own probe.
std::vector<std::string> withoutRepeats(const std::vector<std::string>& ports) {
  std::vector<std::string> unique;
  for (const std::string& port : ports) {
    if (std::find(unique.begin(), unique.end(), port) == unique.end()) unique.push_back(port);
  }
  return unique;
}

// Probes with the ports' own traces kept out of the output: the status says it better. An
// interrupt ends every probe at once.
std::vector<ProbeResult> probeQuietly(const std::vector<std::string>& ports) {
  DiscardTraces discard;
  CancelEvent cancel;
  CancelOnInterrupt cancelScope(cancel);
  return probeInstruments(ports, discard, &cancel);
}

// Reserves the port of an upgrade, or ends the run: another upgrade is using it.
PortChoice reserved(const PortChoice& choice, PortReservation& reservation) {
  if (choice.status != 0 ||
      reservation.reserve(choice.port, PortReservation::Use::Run) == ReservationStatus::Granted) {
    return choice;
  }
  say("ERROR : Serial port " + printableText(choice.port) + " is in use by another upgrade.\n");
  return {PortNotOpened, {}};
}

std::string presentPortsText() {
  std::vector<SerialPortInfo> ports = listSerialPorts();
  if (ports.empty()) return std::string(kNoPortFound) + "\n";
  std::string text = "Serial ports present:\n";
  for (const SerialPortInfo& port : ports) text += "  " + portLine(port);
  return text;
}

}  // namespace

std::string portLine(const SerialPortInfo& port) {
  return printableText(port.name) + "\t" + orUnknown(port.description) +
         (port.isConsole ? kConsoleMark : "") + "\t" + usbIdText(port) + "\t" +
         orUnknown(port.usbSerial) + "\n";
}

int listPortsCommand() {
  std::vector<SerialPortInfo> ports = listSerialPorts();
  if (ports.empty()) say(std::string(kNoPortFound) + "\n");
  for (const SerialPortInfo& port : ports) writeText(stdout, portLine(port));
  return 0;
}

int findCommand(const std::vector<std::string>& ports) {
  InterruptGuard interrupts;
  std::vector<std::string> candidates =
      withoutRepeats(ports.empty() ? searchablePortNames() : ports);
  if (candidates.empty()) {
    say(std::string(kNoPortFound) + "\n");
    return PortNotOpened;
  }
  std::vector<ProbeResult> results = probeQuietly(candidates);
  if (const int signalNumber = interruptSignal(); signalNumber != 0) {
    say(std::string("Search interrupted (") + interruptName(signalNumber) +
        "); the ports were left as they were found.\n");
    return kExitSignalBase + signalNumber;
  }
  bool answered = false;
  for (const ProbeResult& result : results) {
    if (result.status == ProbeStatus::Answered) {
      writeText(stdout, printableText(result.port) + "\t" + registerText(result) + "\n");
      answered = true;
    } else {
      say(outcomeText(result));
    }
  }
  return answered ? 0 : PortNotOpened;
}

PortChoice chooseAnsweringPort(const std::vector<std::string>& candidates) {
  std::vector<std::string> ports = withoutRepeats(candidates);
  if (ports.empty()) {
    say(std::string("ERROR : ") + kNoPortFound + "\n");
    return {PortNotOpened, {}};
  }
  say("Looking for the Quorvel on " + std::to_string(ports.size()) + " serial port(s)...\n");
  std::vector<ProbeResult> results = probeQuietly(ports);
  std::vector<ProbeResult> answered;
  std::copy_if(results.begin(), results.end(), std::back_inserter(answered),
               [](const ProbeResult& result) { return result.status == ProbeStatus::Answered; });
  if (answered.size() == 1) {
    say("Quorvel found on " + printableText(answered.front().port) + ".\n");
    return {0, answered.front().port};
  }
  if (answered.empty()) {
    say("ERROR : No Quorvel answered on these ports:\n" + outcomeList(results));
    return {PortNotOpened, {}};
  }
  say("ERROR : Several instruments answered:\n" + outcomeList(answered) +
      "Choose one with --port.\n");
  return {kExitUsage, {}};
}

PortChoice checkUpgradePort(const std::string& requested, PortReservation& reservation) {
  if (requested == kAutoPort) {
    return reserved(chooseAnsweringPort(searchablePortNames()), reservation);
  }
  if (serialPortMissing(requested)) {
    say("ERROR : Serial port " + printableText(requested) + " does not exist.\n" +
        presentPortsText());
    return {PortNotOpened, {}};
  }
  return reserved({0, requested}, reservation);
}

}  // namespace quorvel::cli
