// The status window as start-up makes it, driven in this process.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include "common/status_client.h"
#include "config/settings_record.h"
#include "relay/relay_activity.h"
#include "relay/relay_pumps.h"
#include "relay/traffic_counters.h"
#include "support/win_test_support.h"
#include "ui/resource.h"
#include "ui/status_window.h"

using test_support::ControlText;
using test_support::PaneText;
using test_support::PumpUntil;

namespace {

RelayTraffic& Traffic() {
    return test_support::WindowRelay().traffic;
}

// Any locale's short date and time, then three spaces.
const std::wregex kEntryStart(L"[^\r\n]+ [^\r\n]+   ");

class StatusWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = test_support::StatusWindowForTests();
        test_support::ClearPane();
        TakeAndResetCounters(Traffic().TrafficCounters);
        BeginRefresh(Traffic().activity);
        ApplyRelayActivity();
    }
    HICON Lamp(int id) {
        return reinterpret_cast<HICON>(SendDlgItemMessageW(window_, id, STM_GETICON, 0, 0));
    }
    HWND window_ = nullptr;
};

TEST_F(StatusWindowTest, FirstEntriesAreTheDefaultsLineThenStartingUp) {
    const std::wstring& first = test_support::FirstPaneText();
    const std::wstring defaults = L"Default configuration loaded\r\n";
    ASSERT_EQ(first.substr(0, defaults.size()), defaults) << "no prefix, and ahead of the rest";
    const std::wstring rest = first.substr(defaults.size());
    EXPECT_TRUE(
        std::regex_match(rest, std::wregex(L"[^\r\n]+ [^\r\n]+   Vantrel is starting up\r\n")))
        << std::string(rest.begin(), rest.end());
}

// As the window was made, whatever other tests did with it since.
TEST_F(StatusWindowTest, StatusLineShowsTheTemplateTextUntilStartUpWritesIt) {
    EXPECT_EQ(test_support::WindowAtFirst().statusLine, L"Waiting for connection...");
}

TEST_F(StatusWindowTest, LampsRestAndCountersShowZeroAtFirst) {
    const test_support::FirstLook& first = test_support::WindowAtFirst();
    EXPECT_EQ(first.lamps[0], IndicatorIcons.receiveDark);
    EXPECT_EQ(first.lamps[1], IndicatorIcons.sendDark);
    EXPECT_EQ(first.lamps[2], IndicatorIcons.carrierDark);
    EXPECT_EQ(first.lamps[3], IndicatorIcons.dataSetDark);
    for (const std::wstring& counter : first.counters) {
        EXPECT_EQ(counter, L"0");
    }
    EXPECT_NE(IndicatorIcons.receiveDark, nullptr);
}

TEST_F(StatusWindowTest, ResetLogsTheTotalsInOrderAndZeroesThem) {
    AddToCounter(Traffic().TrafficCounters, VirtualReceived, 5);
    AddToCounter(Traffic().TrafficCounters, VirtualSent, 3);
    AddToCounter(Traffic().TrafficCounters, SerialReceived, 3);
    AddToCounter(Traffic().TrafficCounters, SerialSent, 2147483648u);
    ApplyRelayActivity();
    EXPECT_EQ(ControlText(window_, IDC_SERIAL_SENT), L"-2147483648");
    SendMessageW(window_, WM_COMMAND, IDC_RESET, 0);
    const std::wstring pane = PaneText();
    EXPECT_TRUE(std::regex_match(
        pane,
        std::wregex(L"[^\r\n]+ [^\r\n]+   Data counter reset \\(was 5, 3, 3, -2147483648\\)\r\n")))
        << std::string(pane.begin(), pane.end());
    for (const int id :
         {IDC_VIRTUAL_RECEIVED, IDC_VIRTUAL_SENT, IDC_SERIAL_RECEIVED, IDC_SERIAL_SENT}) {
        EXPECT_EQ(ControlText(window_, id), L"0");
    }
    SendMessageW(window_, WM_COMMAND, IDC_RESET, 0);
    EXPECT_NE(PaneText().find(L"Data counter reset (was 0, 0, 0, 0)\r\n"), std::wstring::npos);
}

TEST_F(StatusWindowTest, RelayActivityShowsWithoutTheRelayWaitingForTheWindow) {
    // From another thread, as a relay thread does it: counted, not sent.
    std::thread relay([] {
        AddTraffic(test_support::WindowRelay(), VirtualReceived, 250);
        AddTraffic(test_support::WindowRelay(), SerialSent, 250);
    });
    relay.join();
    EXPECT_TRUE(PumpUntil([&] { return ControlText(window_, IDC_VIRTUAL_RECEIVED) == L"250"; }));
    EXPECT_EQ(ControlText(window_, IDC_SERIAL_SENT), L"250");
    // A tick took the request up and found nothing new: the window went
    // quiet, and the next chunk wakes it again.
    ASSERT_TRUE(PumpUntil([] { return !Traffic().activity.refreshRequested.load(); }));
    std::thread later([] { AddTraffic(test_support::WindowRelay(), SerialSent, 5); });
    later.join();
    EXPECT_TRUE(PumpUntil([&] { return ControlText(window_, IDC_SERIAL_SENT) == L"255"; }));
}

// How long it stays lit is LampLitMs (relay_activity_test.cpp).
TEST_F(StatusWindowTest, LampLightsForAChunkThenRests) {
    NoteLampChunk(Traffic().activity, ActivityLamp::SerialSend, 100);
    ApplyRelayActivity();
    EXPECT_EQ(Lamp(IDC_TX_LAMP), IndicatorIcons.sendLit);
    ASSERT_TRUE(PumpUntil([&] { return Lamp(IDC_TX_LAMP) == IndicatorIcons.sendDark; }));
    EXPECT_EQ(Lamp(IDC_RX_LAMP), IndicatorIcons.receiveDark);
}

TEST_F(StatusWindowTest, LineSettingsComeFromThePortOrFromTheRecord) {
    ApplyDefaultSettings(test_support::DeskSettings());
    test_support::DeskSettings().flowControl = 7;
    test_support::DeskSettings().baudRate = 19200;
    test_support::DeskSettings().parity = 2;
    test_support::DeskSettings().stopBits = 2;
    SetPipeName(test_support::DeskSettings(), L"Lab VM");
    // No port to ask: the record is shown and its rate kept.
    ShowLineSettings(test_support::DeskBridge(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(ControlText(window_, IDC_SERIAL_PORT_FIELD), L"COM3");
    EXPECT_EQ(ControlText(window_, IDC_PIPE_NAME_FIELD), L"Lab VM");
    EXPECT_EQ(ControlText(window_, IDC_BAUD_FIELD), L"19200");
    EXPECT_EQ(ControlText(window_, IDC_PARITY_FIELD), L"EVEN");
    EXPECT_EQ(ControlText(window_, IDC_DATA_BITS_FIELD), L"8");
    EXPECT_EQ(ControlText(window_, IDC_STOP_BITS_FIELD), L"2");
    EXPECT_EQ(ControlText(window_, IDC_FLOW_CONTROL_FIELD), L"Custom");
    EXPECT_EQ(test_support::DeskSettings().baudRate, 19200u);

    // A parity outside the table leaves the field as it was.
    test_support::DeskSettings().parity = 9;
    ShowLineSettings(test_support::DeskBridge(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(ControlText(window_, IDC_PARITY_FIELD), L"EVEN");

    const std::wstring port = test_support::TestComPort();
    if (port.empty()) {
        return;
    }
    // With a port, the port's own rate is shown and taken into the record.
    const HANDLE device = CreateFileW(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(device, &dcb);
    dcb.BaudRate = 38400;
    SetCommState(device, &dcb);
    ShowLineSettings(test_support::DeskBridge(), device);
    CloseHandle(device);
    EXPECT_EQ(ControlText(window_, IDC_BAUD_FIELD), L"38400");
    EXPECT_EQ(test_support::DeskSettings().baudRate, 38400u);
}

TEST_F(StatusWindowTest, ChangeSettingsAsksANonAdministratorToRestartElevated) {
    test_support::MessageBoxRecorder boxes;
    {
        test_support::NonAdministratorThread user;
        SendMessageW(window_, WM_COMMAND, IDC_CHANGE_SETTINGS, 0);
    }
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, L"Administrative privileges required");
    EXPECT_EQ(boxes.Boxes()[0].type, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(boxes.Boxes()[0].owner, nullptr);
}

}  // namespace
