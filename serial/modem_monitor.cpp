#include "serial/modem_monitor.h"

#include "app/app_state.h"
#include "relay/message_log.h"
#include "ui/resource.h"

decltype(&GetCommModemStatus) ModemStatusSource = GetCommModemStatus;

namespace {

bool ReadModemStatus(void* argument, std::uint32_t* status) {
    auto& context = *static_cast<RelayContextRecord*>(argument);
    SharedLinkUse serial(context.serial);
    const HANDLE port = serial.Handle();
    DWORD word = 0;
    if (!IsOpenHandle(port) || !ModemStatusSource(port, &word)) {
        return false;
    }
    *status = word;
    return true;
}

void Report(void*, ModemLine line, bool on) {
    ReportModemLine(line, on);
}

void Pause(void*, std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

bool Forever(void*) {
    return true;
}

}  // namespace

void ReportModemLine(ModemLine line, bool on) {
    const bool carrier = line == ModemLine::Dcd;
    const HICON icon = carrier ? (on ? IndicatorIcons.carrierLit : IndicatorIcons.carrierDark)
                               : (on ? IndicatorIcons.dataSetLit : IndicatorIcons.dataSetDark);
    SendDlgItemMessageW(StatusWindow, carrier ? IDC_DCD_LAMP : IDC_DSR_LAMP, STM_SETICON,
                        reinterpret_cast<WPARAM>(icon), 0);
    if (carrier) {
        AppendLogEntry(on ? L"Serial data carrier established (DCD on)\r\n"
                          : L"Serial data carrier disconnected (DCD off)\r\n");
    } else {
        AppendLogEntry(on ? L"Serial port ready (DSR on)\r\n"
                          : L"Serial port not ready (DSR off)\r\n");
    }
}

DWORD WINAPI ModemMonitor(LPVOID context) {
    const ModemMonitorHooks hooks = {context, ReadModemStatus, Report, Pause, Forever};
    RunModemMonitorLoop(hooks);
    return 0;
}
