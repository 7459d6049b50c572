// The bridge engine's operations against the real registry: each says what
// happened, logs a problem once, shows no box, and a reload keeps counters.
#include "relay/bridge.h"

#include <gtest/gtest.h>

#include <string>

#include "config/settings_tables.h"
#include "support/win_test_support.h"

namespace {

std::size_t Count(const std::wstring& text, const std::wstring& piece) {
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::wstring::npos;
         at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

TEST(BridgeOperations, SayWhatHappenedLogOnceAndKeepCountersAcrossAReload) {
    test_support::MessageBoxRecorder boxes;
    test_support::DeleteStore();
    Bridge bridge(L"");
    bridge.status.view = &bridge.view;

    // Nothing stored: refused each time; logged once, when a second read
    // finds it so (a store half-way through a removal is not); nothing runs
    // to reset or trace.
    const auto logged = [&] {
        return Count(TakeSnapshot(bridge, 0, 4096).messages, L"Couldn't read the settings");
    };
    EXPECT_EQ(StartBridge(bridge, {}).result, BridgeResult::SettingsUnreadable);
    EXPECT_EQ(logged(), 0u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(StartBridge(bridge, {}).result, BridgeResult::SettingsUnreadable);
    }
    EXPECT_EQ(logged(), 1u);
    EXPECT_EQ(ResetBridgeCounters(bridge).result, BridgeResult::NotRunning);
    EXPECT_EQ(StartBridgeTrace(bridge, L"C:\\trace.txt").result, BridgeResult::NotRunning);

    // Another running bridge has the port: refused, naming it.
    test_support::StoreDefaults();
    const std::wstring port = test_support::StoredString(kNameSettings[0].valueName).value();
    const BridgeOutcome shared = StartBridge(bridge, {{L"lab-2", port, L"elsewhere"}});
    EXPECT_EQ(shared.result, BridgeResult::SharedEnds);
    EXPECT_NE(shared.text.find(L"lab-2"), std::wstring::npos) << shared.text;
    EXPECT_FALSE(TakeSnapshot(bridge).running);

    ASSERT_TRUE(StartBridge(bridge, {}).Done());
    AddToCounter(bridge.RelayContext->traffic.TrafficCounters, SerialReceived, 7);
    EXPECT_EQ(ReloadBridge(bridge, {}, false).result, BridgeResult::Unchanged);
    test_support::StoreDword(kNumericLoadOrder[0].valueName, 19200);
    ASSERT_TRUE(ReloadBridge(bridge, {}, false).Done());
    const BridgeSnapshot reloaded = TakeSnapshot(bridge);
    EXPECT_EQ(reloaded.settings.baudRate, 19200u);
    EXPECT_EQ(reloaded.counters[SerialReceived], 7u);

    ASSERT_TRUE(StopBridgeRelay(bridge, 5000));
    const BridgeSnapshot stopped = TakeSnapshot(bridge);
    EXPECT_FALSE(stopped.running);
    EXPECT_EQ(stopped.statusLine, L"Not running: see its Messages");
    EXPECT_TRUE(boxes.Boxes().empty());
    test_support::DeleteStore();
}

}  // namespace
