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
    void SetUp() override { TakeAndResetCounters(); }
    void TearDown() override { TakeAndResetCounters(); }
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
    AddToCounter(SerialSent, 4294967295u);
    EXPECT_EQ(AddToCounter(SerialSent, 1), 0u);
    AddToCounter(VirtualSent, 2147483647u);
    EXPECT_EQ(Shown(AddToCounter(VirtualSent, 1)), L"-2147483648");
}

TEST_F(TrafficCountersTest, ResetReturnsEachTotalInOrderAndZeroesThem) {
    AddToCounter(VirtualReceived, 5);
    AddToCounter(VirtualSent, 3);
    AddToCounter(SerialReceived, 3);
    AddToCounter(SerialSent, 5);
    const TrafficTotals was = TakeAndResetCounters();
    EXPECT_EQ(was.value[0], 5u);
    EXPECT_EQ(was.value[1], 3u);
    EXPECT_EQ(was.value[2], 3u);
    EXPECT_EQ(was.value[3], 5u);
    for (int i = 0; i < kTrafficCounterCount; ++i) {
        EXPECT_EQ(CounterValue(static_cast<TrafficCounter>(i)), 0u);
    }
}

// Under ThreadSanitizer: a Reset meeting a busy pump loses no byte; what the
// resets took plus what is left equals what was added.
TEST_F(TrafficCountersTest, ResetWhileCountingLosesNothing) {
    constexpr std::uint32_t kChunks = 200000;
    std::atomic<bool> done{false};
    std::thread pump([&] {
        for (std::uint32_t i = 0; i < kChunks; ++i) {
            AddToCounter(SerialReceived, 10);
        }
        done.store(true);
    });
    std::uint64_t taken = 0;
    while (!done.load()) {
        taken += TakeAndResetCounters().value[SerialReceived];
    }
    pump.join();
    taken += TakeAndResetCounters().value[SerialReceived];
    EXPECT_EQ(taken, static_cast<std::uint64_t>(kChunks) * 10);
}

}  // namespace
