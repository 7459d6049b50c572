#include "relay/traffic_counters.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

std::wstring Shown(std::uint32_t total) {
    wchar_t text[kCounterTextCapacity];
    FormatCounterText(total, text, kCounterTextCapacity);
    return text;
}

class TrafficCountersTest : public ::testing::Test {
protected:
    TrafficCounterSet counters_;
};

TEST_F(TrafficCountersTest, TotalsShowAsSignedThirtyTwoBitNumbers) {
    EXPECT_EQ(Shown(0), L"0");
    EXPECT_EQ(Shown(2147483647u), L"2147483647");
    EXPECT_EQ(Shown(2147483648u), L"-2147483648");
    EXPECT_EQ(Shown(4294967295u), L"-1");
}

TEST_F(TrafficCountersTest, LongestTextIsCutToASmallBuffer) {
    wchar_t text[5];
    FormatCounterText(2147483648u, text, 5);
    EXPECT_EQ(std::wstring(text), L"-214");
}

TEST_F(TrafficCountersTest, TotalsWrapModuloTwoToTheThirtyTwo) {
    AddToCounter(counters_, SerialSent, 4294967295u);
    EXPECT_EQ(AddToCounter(counters_, SerialSent, 1), 0u);
    AddToCounter(counters_, VirtualSent, 2147483647u);
    EXPECT_EQ(Shown(AddToCounter(counters_, VirtualSent, 1)), L"-2147483648");
}

TEST_F(TrafficCountersTest, ResetReturnsEachTotalInOrderAndZeroesThem) {
    AddToCounter(counters_, VirtualReceived, 5);
    AddToCounter(counters_, VirtualSent, 3);
    AddToCounter(counters_, SerialReceived, 3);
    AddToCounter(counters_, SerialSent, 5);
    const TrafficTotals was = TakeAndResetCounters(counters_);
    EXPECT_EQ(was.value[0], 5u);
    EXPECT_EQ(was.value[1], 3u);
    EXPECT_EQ(was.value[2], 3u);
    EXPECT_EQ(was.value[3], 5u);
    for (int i = 0; i < kTrafficCounterCount; ++i) {
        EXPECT_EQ(CounterValue(counters_, static_cast<TrafficCounter>(i)), 0u);
    }
}

// Under ThreadSanitizer: a Reset meeting a busy pump loses no byte; what the
// resets took plus what is left equals what was added.
TEST_F(TrafficCountersTest, ResetWhileCountingLosesNothing) {
    constexpr std::uint32_t kChunks = 200000;
    std::atomic<bool> done{false};
    std::thread pump([&, this] {
        for (std::uint32_t i = 0; i < kChunks; ++i) {
            AddToCounter(counters_, SerialReceived, 10);
        }
        done.store(true);
    });
    std::uint64_t taken = 0;
    while (!done.load()) {
        taken += TakeAndResetCounters(counters_).value[SerialReceived];
    }
    pump.join();
    taken += TakeAndResetCounters(counters_).value[SerialReceived];
    EXPECT_EQ(taken, static_cast<std::uint64_t>(kChunks) * 10);
}

}  // namespace
