#include "common/error_throttle.h"

namespace {

std::uint64_t Pack(std::uint32_t code, std::uint32_t tick) {
    return (static_cast<std::uint64_t>(code) << 32) | tick;
}

}  // namespace

ThrottleSnapshot ReadThrottle(const ErrorThrottleRecord& throttle) {
    const std::uint64_t packed = throttle.codeAndTick.load(std::memory_order_acquire);
    return {static_cast<std::uint32_t>(packed >> 32), static_cast<std::uint32_t>(packed)};
}

bool IsSuppressedAt(const ErrorThrottleRecord& throttle, std::uint32_t code, std::uint32_t now) {
    const ThrottleSnapshot last = ReadThrottle(throttle);
    if (code != last.lastErrorCode) {
        return false;
    }
    const auto difference = static_cast<std::int32_t>(now - last.lastReportTick);
    // Written without std::abs so that INT32_MIN stays defined.
    const std::uint32_t distance = difference < 0 ? 0u - static_cast<std::uint32_t>(difference)
                                                  : static_cast<std::uint32_t>(difference);
    return distance < kThrottleWindowMs;
}

void MarkReportedAt(ErrorThrottleRecord& throttle, std::uint32_t code, std::uint32_t now) {
    throttle.codeAndTick.store(Pack(code, now), std::memory_order_release);
}
