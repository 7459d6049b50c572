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
    wchar_t prefix[50];
    FormatTimestamp(prefix, 50);
    AppendLog(prefix);
    if (line == ModemLine::Dcd) {
        SendDlgItemMessageW(
            StatusWindow, IDC_DCD_LAMP, STM_SETICON,
            reinterpret_cast<WPARAM>(on ? IndicatorIcons.carrierLit : IndicatorIcons.carrierDark),
            0);
        AppendLog(on ? L"Serial data carrier established (DCD on)\r\n"
                     : L"Serial data carrier disconnected (DCD off)\r\n");
    } else {
        SendDlgItemMessageW(
            StatusWindow, IDC_DSR_LAMP, STM_SETICON,
            reinterpret_cast<WPARAM>(on ? IndicatorIcons.dataSetLit : IndicatorIcons.dataSetDark),
            0);
        AppendLog(on ? L"Serial port ready (DSR on)\r\n" : L"Serial port not ready (DSR off)\r\n");
    }
}

DWORD WINAPI ModemMonitor(LPVOID context) {
    const ModemMonitorHooks hooks = {context, ReadModemStatus, Report, Pause, Forever};
    RunModemMonitorLoop(hooks);
    return 0;
}
