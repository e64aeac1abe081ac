#pragma once

#include <string>
#include <vector>

#include "serial/port_list.h"
#include "serial/port_reservation.h"

// The port side of quorvel-upgrade: listing the ports, probing them for the instrument, and
// checking or choosing the port of an upgrade before the erase warning. Results go to
// standard output, messages to standard error.
namespace quorvel::cli {

// One line of --list-ports: name, description, USB vendor:product and serial number,
// separated by tabs; "-" for what is not known. The description of the system's console
// ends in " (system console)".
std::string portLine(const SerialPortInfo& port);

// --list-ports: one line per present port; exit 0, also when there is none.
int listPortsCommand();

// --find: probes `ports`, or every listed port but the system's console when none is given;
// one line "PORT<TAB>register 0xNNNN" per answer. Exit 0 when any answered, 10 otherwise,
// 128 + N when signal N ended the probes (the ports are left as they were found).
int findCommand(const std::vector<std::string>& ports);

struct PortChoice {
  int status = 0;    // 0: go on with `port`; otherwise the exit status
  std::string port;  // the port to upgrade through
};

// --port auto: probes `candidates` and chooses the one port that answered; none gives 10,
// several give 2, each with a list of what was found.
PortChoice chooseAnsweringPort(const std::vector<std::string>& candidates);

// The port of an upgrade, checked before the erase warning: "auto" is resolved over the
// listed ports (the console left out), a port that does not exist ends the run (10) with the
// ports that do, and so does a port that another upgrade holds. The port chosen is then
// reserved for the run in `reservation`.
PortChoice checkUpgradePort(const std::string& requested, PortReservation& reservation);

}  // namespace quorvel::cli
