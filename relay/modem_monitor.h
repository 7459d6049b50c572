// Watches the COM port's modem-status lines and reports changes of carrier
// detect (DCD) and data set ready (DSR) with their lamps and a log entry.
#pragma once

#include <windows.h>

#include "relay/relay_context.h"
#include "serial/modem_monitor_loop.h"

// Thread entry point; the argument is the address of a RelayContextRecord
// (the COM port is read through its serial end, which may be reopened
// meanwhile).
DWORD WINAPI ModemMonitor(LPVOID context);

void ReportModemLine(StatusClient& status, ModemLine line, bool on);
