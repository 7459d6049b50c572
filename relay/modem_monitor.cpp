#include "relay/modem_monitor.h"

#include "serial/serial_port.h"

namespace {

bool ReadModemStatus(void* argument, std::uint32_t* status) {
    auto& context = *static_cast<RelayContextRecord*>(argument);
    SharedLinkUse serial(context.serial);
    return ReadModemLines(serial.Handle(), status);
}

void Report(void* argument, ModemLine line, bool on) {
    ReportModemLine(static_cast<RelayContextRecord*>(argument)->status, line, on);
}

void Pause(void*, std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

bool Forever(void*) {
    return true;
}

}  // namespace

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

DWORD WINAPI ModemMonitor(LPVOID context) {
    const ModemMonitorHooks hooks = {context, ReadModemStatus, Report, Pause, Forever};
    RunModemMonitorLoop(hooks);
    return 0;
}
