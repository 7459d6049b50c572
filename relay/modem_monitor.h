// The COM port's modem-status lines: changes of carrier detect (DCD) and
// data set ready (DSR) shown with their lamps and a log entry.
#pragma once

#include <windows.h>

#include "relay/relay_context.h"
#include "serial/modem_lines.h"

// Looks at the lines of port, as the COM port's reader does when it opens
// the port and whenever the driver signals a change, and reports them when
// the watch says so (modem_lines.h).
void ModemMonitor(RelayContextRecord& context, HANDLE port);

void ReportModemLine(StatusClient& status, ModemLine line, bool on);
