// The modem-line watcher with the lines supplied through its status source:
// on a pty under Wine GetCommModemStatus always fails.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>

#include "relay/modem_monitor.h"
#include "serial/modem_monitor_loop.h"
#include "serial/serial_port.h"
#include "support/win_test_support.h"
#include "ui/resource.h"
#include "ui/status_window.h"

using test_support::PaneText;
using test_support::PumpUntil;

namespace {

std::atomic<DWORD> lines{0};
std::atomic<int> polls{0};

BOOL WINAPI ScriptedLines(HANDLE, LPDWORD status) {
    polls.fetch_add(1);
    *status = lines.load();
    return TRUE;
}

TEST(ModemMonitorTest, ReportsCarrierThenDataSetReadyWithLampsAndEntries) {
    const HWND window = test_support::StatusWindowForTests();
    test_support::ClearPane();
    ModemStatusSource = ScriptedLines;
    lines.store(modem_status::kDsrOn);
    // Any open handle will do; the scripted source does not look at it.
    const HANDLE port = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    static RelayContextRecord context = {
        {SRWLOCK_INIT, nullptr}, {SRWLOCK_INIT, nullptr}, ProgramStatus};
    context.serial.handle.store(port);
    CloseHandle(CreateThread(nullptr, 0, ModemMonitor, &context, 0, nullptr));

    const std::wregex twoEntries(
        L"[^\r\n]+ [^\r\n]+   Serial data carrier disconnected \\(DCD off\\)\r\n"
        L"[^\r\n]+ [^\r\n]+   Serial port ready \\(DSR on\\)\r\n");
    ASSERT_TRUE(PumpUntil([&] { return std::regex_match(PaneText(), twoEntries); }))
        << std::string(PaneText().begin(), PaneText().end());
    auto lamp = [&](int id) {
        return reinterpret_cast<HICON>(SendDlgItemMessageW(window, id, STM_GETICON, 0, 0));
    };
    EXPECT_EQ(lamp(IDC_DCD_LAMP), IndicatorIcons.carrierDark);
    EXPECT_EQ(lamp(IDC_DSR_LAMP), IndicatorIcons.dataSetLit);

    // After a report the watcher rests 5 s; then a carrier change is seen.
    test_support::ClearPane();
    lines.store(modem_status::kDsrOn | modem_status::kRlsdOn);
    ASSERT_TRUE(PumpUntil(
        [&] { return PaneText().find(L"Serial port ready (DSR on)\r\n") != std::wstring::npos; }));
    EXPECT_NE(PaneText().find(L"Serial data carrier established (DCD on)\r\n"), std::wstring::npos);
    EXPECT_EQ(lamp(IDC_DCD_LAMP), IndicatorIcons.carrierLit);

    // Steady lines: polled about ten times a second, not back to back.
    const int before = polls.load();
    // Ten seconds: at most five of rest after the report, then polls.
    PumpUntil([] { return false; }, 10000);
    const int during = polls.load() - before;
    EXPECT_GE(during, 25) << "a change would show within a fraction of a second";
    EXPECT_LE(during, 110) << "steady lines must not keep a processor busy";
    EXPECT_EQ(PaneText().find(L"DCD on", PaneText().find(L"DCD on") + 1), std::wstring::npos)
        << "nothing more to report";
}

}  // namespace
