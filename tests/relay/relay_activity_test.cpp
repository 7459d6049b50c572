#include "relay/relay_activity.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>

#include "relay/traffic_counters.h"

namespace {

TEST(RelayActivity, OnlyTheFirstChangeAsksForARefreshUntilItIsApplied) {
    RelayActivityRecord activity;
    EXPECT_TRUE(NoteCounterChange(activity));
    EXPECT_FALSE(NoteCounterChange(activity));
    EXPECT_FALSE(NoteLampChunk(activity, ActivityLamp::SerialSend, 100));
    BeginRefresh(activity);
    EXPECT_TRUE(NoteLampChunk(activity, ActivityLamp::SerialReceive, 10));
}

TEST(RelayActivity, LampLightsForTheLatestChunkOnce) {
    RelayActivityRecord activity;
    NoteLampChunk(activity, ActivityLamp::SerialSend, 100);
    NoteLampChunk(activity, ActivityLamp::SerialSend, 50);
    EXPECT_EQ(TakeLampChunk(activity, ActivityLamp::SerialSend), 50u);
    EXPECT_EQ(TakeLampChunk(activity, ActivityLamp::SerialSend), 0u);
    EXPECT_EQ(TakeLampChunk(activity, ActivityLamp::SerialReceive), 0u);
}

// Under ThreadSanitizer: the window thread, refreshing whenever asked, always
// ends up showing the final total, however the requests interleave.
TEST(RelayActivity, EveryChangeIsEventuallyShown) {
    RelayActivityRecord activity;
    TrafficCounterSet counters;
    std::atomic<int> pendingRefreshes{0};  // stands in for the posted message
    std::atomic<bool> pumpDone{false};
    constexpr std::uint32_t kChunks = 50000;
    std::thread pump([&] {
        for (std::uint32_t i = 0; i < kChunks; ++i) {
            AddToCounter(counters, VirtualReceived, 1);
            if (NoteLampChunk(activity, ActivityLamp::SerialSend, 1)) {
                pendingRefreshes.fetch_add(1);
            }
        }
        pumpDone.store(true);
    });
    std::uint32_t shown = 0;
    for (;;) {
        const bool finished = pumpDone.load();
        if (pendingRefreshes.load() > 0) {
            pendingRefreshes.fetch_sub(1);
            BeginRefresh(activity);
            shown = CounterValue(counters, VirtualReceived);
            TakeLampChunk(activity, ActivityLamp::SerialSend);
        } else if (finished) {
            break;
        }
    }
    pump.join();
    EXPECT_EQ(shown, kChunks);
}

TEST(RelayActivity, ALampStaysLitFiveMillisecondsAByteAtMostHalfASecond) {
    for (const auto& [chunk, lit] : {std::pair<std::uint32_t, std::uint32_t>{1, 5},
                                     {10, 50},
                                     {99, 495},
                                     {100, 500},
                                     {4096, 500},
                                     {0xFFFFFFFFu, 500}}) {
        EXPECT_EQ(LampLitMs(chunk), lit) << chunk << " bytes";
    }
}

}  // namespace
