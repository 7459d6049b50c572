// Holds back a relay failure that repeats the last reported error code within
// 10 seconds. Shared by both relay threads; platform-free (ticks are passed in).
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr std::uint32_t kThrottleWindowMs = 10000;

// lastErrorCode and lastReportTick packed into one word, so that a reader
// always sees a code together with the tick of its own report.
struct ErrorThrottleRecord {
    std::atomic<std::uint64_t> codeAndTick{0};
};

struct ThrottleSnapshot {
    std::uint32_t lastErrorCode;
    std::uint32_t lastReportTick;
};
// Both values as one report left them.
ThrottleSnapshot ReadThrottle(const ErrorThrottleRecord& throttle);

// True when code equals the last reported code and that report is less than
// 10000 ms from now. The difference is taken as a signed 32-bit number, so the
// tick counter's wrap and a report stamped a moment after now both count as
// recent.
bool IsSuppressedAt(const ErrorThrottleRecord& throttle, std::uint32_t code, std::uint32_t now);
void MarkReportedAt(ErrorThrottleRecord& throttle, std::uint32_t code, std::uint32_t now);
