// Watches the COM port's modem-status lines and reports changes of carrier
// detect (DCD) and data set ready (DSR) with their lamps and a log entry.
#pragma once

#include <windows.h>

#include "serial/modem_monitor_loop.h"

// Thread entry point; the argument is the address of RelayContext (the COM
// port is read through its serial end, which may be reopened meanwhile).
DWORD WINAPI ModemMonitor(LPVOID context);

void ReportModemLine(ModemLine line, bool on);

// GetCommModemStatus unless a test supplies the lines: on a pty under Wine
// the call always fails.
extern decltype(&GetCommModemStatus) ModemStatusSource;
