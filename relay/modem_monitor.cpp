#include "relay/modem_monitor.h"

#include "serial/serial_port.h"

void ModemMonitor(RelayContextRecord& context, HANDLE port) {
    std::uint32_t status = 0;
    if (!ReadModemLines(port, &status) ||
        LookAtModemLines(context.modemWatch, status, GetTickCount()) != ModemLook::Report) {
        return;
    }
    ReportModemLine(context.status, ModemLine::Dcd, (status & modem_status::kRlsdOn) != 0);
    ReportModemLine(context.status, ModemLine::Dsr, (status & modem_status::kDsrOn) != 0);
}

void ReportModemLine(StatusClient& status, ModemLine line, bool on) {
    const bool carrier = line == ModemLine::Dcd;
    ShowModemLamp(status, carrier, on);
    if (carrier) {
        AppendLogEntry(status, on ? L"Serial data carrier established (DCD on)\r\n"
                                  : L"Serial data carrier disconnected (DCD off)\r\n");
    } else {
        AppendLogEntry(status, on ? L"Serial port ready (DSR on)\r\n"
                                  : L"Serial port not ready (DSR off)\r\n");
    }
}
