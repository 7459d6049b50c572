// The modem-line watch with the lines supplied through its status source:
// on a pty under Wine GetCommModemStatus always fails, and the driver cannot
// signal a change, so the looks the COM port's reader makes on a signal are
// made here.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>

#include "relay/modem_monitor.h"
#include "serial/modem_lines.h"
#include "serial/serial_port.h"
#include "support/win_test_support.h"
#include "ui/resource.h"
#include "ui/status_window.h"

using test_support::PaneText;
using test_support::PumpUntil;

namespace {

std::atomic<DWORD> lines{0};

BOOL WINAPI ScriptedLines(HANDLE, LPDWORD status) {
    *status = lines.load();
    return TRUE;
}

TEST(ModemMonitorTest, ReportsCarrierThenDataSetReadyWithLampsAndEntries) {
    const HWND window = test_support::StatusWindowForTests();
    test_support::ClearPane();
    const auto saved = ModemStatusSource;
    ModemStatusSource = ScriptedLines;
    // Any open handle will do; the scripted source does not look at it.
    const UniqueKernelHandle port(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    RelayContextRecord context = {
        {SRWLOCK_INIT, nullptr}, {SRWLOCK_INIT, nullptr}, test_support::DeskBridge().status};
    auto lamp = [&](int id) {
        return reinterpret_cast<HICON>(SendDlgItemMessageW(window, id, STM_GETICON, 0, 0));
    };

    lines.store(modem_status::kDsrOn);
    ModemMonitor(context, port.Get());
    const std::wregex twoEntries(
        L"[^\r\n]+ [^\r\n]+   Serial data carrier disconnected \\(DCD off\\)\r\n"
        L"[^\r\n]+ [^\r\n]+   Serial port ready \\(DSR on\\)\r\n");
    const std::wstring pane = PaneText();
    EXPECT_TRUE(std::regex_match(pane, twoEntries)) << std::string(pane.begin(), pane.end());
    EXPECT_EQ(lamp(IDC_DCD_LAMP), IndicatorIcons.carrierDark);
    EXPECT_EQ(lamp(IDC_DSR_LAMP), IndicatorIcons.dataSetLit);

    // Steady lines: another look reports nothing.
    test_support::ClearPane();
    ModemMonitor(context, port.Get());
    EXPECT_EQ(PaneText(), L"");

    // A change after the rest that follows a report.
    context.modemWatch.restEnds = GetTickCount();
    lines.store(modem_status::kDsrOn | modem_status::kRlsdOn);
    ModemMonitor(context, port.Get());
    EXPECT_NE(PaneText().find(L"Serial data carrier established (DCD on)\r\n"), std::wstring::npos);
    EXPECT_NE(PaneText().find(L"Serial port ready (DSR on)\r\n"), std::wstring::npos);
    EXPECT_EQ(lamp(IDC_DCD_LAMP), IndicatorIcons.carrierLit);
    ModemStatusSource = saved;
}

}  // namespace
