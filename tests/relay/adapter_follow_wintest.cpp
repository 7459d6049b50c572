// A bridge that follows its adapter, below a stand-in for SetupAPI and the
// configuration manager's plug events, which Wine has neither of for its
// pty ports. What the stand-in reports is what Microsoft documents: the port
// moves from COM3 to COM12 under the same instance ID ("Device instance
// IDs"), removal and arrival come as COM-port interface events
// ("CM_Register_Notification").
#include <windows.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "config/settings_store.h"
#include "relay/link_recovery.h"
#include "support/win_test_support.h"

namespace {

constexpr wchar_t kInstance[] = L"FTDIBUS\\VID_0403+PID_6001+A10K2QXYA\\0000";

std::mutex devicesLock;
std::vector<ComPortDevice> devices;
void (*plugHandler)(void*, bool, const std::wstring&) = nullptr;
void* plugContext = nullptr;

std::vector<ComPortDevice> ListedDevices() {
    std::lock_guard<std::mutex> hold(devicesLock);
    return devices;
}
void* Watch(void (*onPlug)(void*, bool, const std::wstring&), void* context) {
    plugHandler = onPlug;
    plugContext = context;
    return &plugHandler;
}
void Unwatch(void*) {
    plugHandler = nullptr;
}

void AdapterAt(const std::wstring& port) {
    std::lock_guard<std::mutex> hold(devicesLock);
    devices = {{port, L"USB Serial Port (" + port + L")", kInstance,
                L"USB\\VID_0403&PID_6001\\A10K2QXY", L"", 16}};
}

std::wstring Messages(ViewState& view) {
    AcquireSRWLockShared(&view.lock);
    const std::wstring text = view.messages;
    ReleaseSRWLockShared(&view.lock);
    return text;
}

TEST(AdapterFollow, AMovedAdapterIsLostAtItsRemovalAndOpenedUnderItsNewNameOnArrival) {
    const std::wstring first = test_support::TestComPort();
    wchar_t moved[16] = {};
    GetEnvironmentVariableW(L"VANTREL_TEST_COM_MOVED", moved, 16);
    ASSERT_FALSE(first.empty() || moved[0] == L'\0') << "needs the runner's two pty ports";
    const PortEnumerationCalls saved = PortEnumeration;
    PortEnumeration = {ListedDevices, Watch, Unwatch};
    // No retry comes within the test: whatever opens the port after a plug
    // event was opened by that event.
    SerialRetryMs = INFINITE;
    test_support::StoreDefaults();
    AdapterAt(first);

    // The relay's threads outlive the test; their record does too.
    auto& view = *new ViewState;
    auto& status = *new StatusClient;
    status.view = &view;
    auto* context = new RelayContextRecord{
        {SRWLOCK_INIT, INVALID_HANDLE_VALUE}, {SRWLOCK_INIT, INVALID_HANDLE_VALUE}, status};
    ApplyDefaultSettings(context->linkSettings);
    SetPipeName(context->linkSettings, L"adapter-follow-no-vm");
    SetSerialPortName(context->linkSettings, L"COM99");
    SetDeviceIdentity(context->linkSettings, L"USB VID_0403 PID_6001 SN A10K2QXY");
    context->store = BridgeStore(L"");
    ASSERT_TRUE(StartLinkKeepers(*context));
    ASSERT_NE(plugHandler, nullptr);
    OpenEndsUnattended(*context);
    ASSERT_TRUE(
        test_support::PumpUntil([&] { return IsOpenHandle(context->serial.handle.load()); }));
    EXPECT_NE(Messages(view).find(L"The adapter A10K2QXY is now " + first), std::wstring::npos);

    // Pulled out: no relay thread reads the port, so only the event can
    // tell the keeper.
    AdapterAt(moved);
    plugHandler(plugContext, false, L"FTDIBUS\\VID_0403+PID_6001+A10K2QXYA\\0000");
    ASSERT_TRUE(test_support::PumpUntil([&] { return IsEndAway(*context, LinkSide::Serial); }));
    EXPECT_TRUE(test_support::PumpUntil([&] {
        return Messages(view).find(L"Serial port " + first + L" lost") != std::wstring::npos;
    }));
    // Plugged into another socket, where Windows numbers it COM12.
    plugHandler(plugContext, true, kInstance);
    ASSERT_TRUE(test_support::PumpUntil([&] { return !IsEndAway(*context, LinkSide::Serial); }));
    const std::wstring text = Messages(view);
    EXPECT_NE(text.find(std::wstring(L"The adapter A10K2QXY is now ") + moved), std::wstring::npos)
        << std::string(text.begin(), text.end());
    EXPECT_EQ(test_support::StoredString(L"Serial port"), moved);
    // The latency note comes once, not at every opening.
    const std::wstring note = L"wait up to 16 ms in the adapter A10K2QXY";
    EXPECT_NE(text.find(note), std::wstring::npos);
    EXPECT_EQ(text.find(note), text.rfind(note));

    // A removal of another adapter is not this one's loss.
    plugHandler(plugContext, false, L"USB\\VID_1A86&PID_7523\\5&2A0D1E3F&0&3");
    EXPECT_FALSE(IsEndAway(*context, LinkSide::Serial));
    StopRelay(*context);
    EXPECT_EQ(plugHandler, nullptr) << "the stopped relay hears no more plug events";
    ReplaceLinkHandle(context->serial, INVALID_HANDLE_VALUE);
    PortEnumeration = saved;
    SerialRetryMs = kLinkRetryMs;
    test_support::DeleteStore();
}

}  // namespace
