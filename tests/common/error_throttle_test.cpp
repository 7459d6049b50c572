#include "common/error_throttle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kCodeA = 31;   // ERROR_GEN_FAILURE
constexpr std::uint32_t kCodeB = 109;  // ERROR_BROKEN_PIPE

// What a reporter does: report unless suppressed; a report marks the throttle.
bool Report(ErrorThrottleRecord& throttle, std::uint32_t code, std::uint32_t now) {
    if (IsSuppressedAt(throttle, code, now)) {
        return false;
    }
    MarkReportedAt(throttle, code, now);
    return true;
}

TEST(ErrorThrottle, RepeatWithinTenSecondsIsSuppressedAndAtTenSecondsLogged) {
    ErrorThrottleRecord throttle;
    const std::uint32_t start = 500000;
    EXPECT_TRUE(Report(throttle, kCodeA, start));
    EXPECT_FALSE(Report(throttle, kCodeA, start + 9999));
    EXPECT_TRUE(Report(throttle, kCodeA, start + 10000));
}

TEST(ErrorThrottle, OnlyTheLastReportedCodeIsHeld) {
    ErrorThrottleRecord throttle;
    EXPECT_TRUE(Report(throttle, kCodeA, 1000));
    EXPECT_TRUE(Report(throttle, kCodeB, 1200));
    EXPECT_TRUE(Report(throttle, kCodeA, 1400));
    EXPECT_FALSE(Report(throttle, kCodeA, 1600));
}

TEST(ErrorThrottle, SuppressedRepeatDoesNotMoveTheWindow) {
    ErrorThrottleRecord throttle;
    std::vector<std::uint32_t> logged;
    // A failure every second for 35 seconds.
    for (std::uint32_t second = 0; second <= 35; ++second) {
        const std::uint32_t now = 7000 + second * 1000;
        if (Report(throttle, kCodeA, now)) {
            logged.push_back(second);
        }
    }
    EXPECT_EQ(logged, (std::vector<std::uint32_t>{0, 10, 20, 30}));
}

TEST(ErrorThrottle, TickWrapAfterFortyNineDaysIsHarmless) {
    ErrorThrottleRecord throttle;
    const std::uint32_t justBeforeWrap = 0xFFFFF000u;
    EXPECT_TRUE(Report(throttle, kCodeA, justBeforeWrap));
    // 4096 ms before the wrap plus 5000 after: 9096 ms later.
    EXPECT_FALSE(Report(throttle, kCodeA, 5000));
    // 4096 + 5904 = 10000 ms later.
    EXPECT_TRUE(Report(throttle, kCodeA, 5904));
}

TEST(ErrorThrottle, ReportStampedJustAfterNowCountsAsRecent) {
    ErrorThrottleRecord throttle;
    MarkReportedAt(throttle, kCodeA, 20000);
    // Another thread reported a moment after this one read the tick.
    EXPECT_TRUE(IsSuppressedAt(throttle, kCodeA, 19990));
    EXPECT_FALSE(IsSuppressedAt(throttle, kCodeA, 20000 - 10000));
}

TEST(ErrorThrottle, InitialStateSuppressesNothingButCodeZeroNearTickZero) {
    ErrorThrottleRecord throttle;
    EXPECT_FALSE(IsSuppressedAt(throttle, kCodeA, 5));
    EXPECT_EQ(ReadThrottle(throttle).lastErrorCode, 0u);
    EXPECT_EQ(ReadThrottle(throttle).lastReportTick, 0u);
}

// Under ThreadSanitizer: reports from two threads at once never leave a code
// with another report's tick.
TEST(ErrorThrottle, ConcurrentReportsKeepCodeAndTickTogether) {
    ErrorThrottleRecord throttle;
    std::atomic<bool> stop{false};
    std::atomic<int> mismatches{0};
    auto reporter = [&](std::uint32_t firstCode) {
        for (std::uint32_t i = 0; i < 20000; ++i) {
            const std::uint32_t code = firstCode + 2 * (i % 1000);
            // Each code carries a tick that can be derived from it.
            MarkReportedAt(throttle, code, code * 7u + 3u);
            IsSuppressedAt(throttle, code, code * 7u + 3u);
        }
    };
    std::thread checker([&] {
        while (!stop.load()) {
            const ThrottleSnapshot seen = ReadThrottle(throttle);
            if (seen.lastErrorCode != 0 && seen.lastReportTick != seen.lastErrorCode * 7u + 3u) {
                mismatches.fetch_add(1);
            }
        }
    });
    std::thread odd(reporter, 1u);
    std::thread even(reporter, 2u);
    odd.join();
    even.join();
    stop.store(true);
    checker.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
