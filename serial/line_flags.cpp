#include "serial/line_flags.h"

namespace {

struct FlagMasks {
    std::uint32_t clear;
    std::uint32_t set;
};

// Every fixed mode holds DSR output flow control, DSR sensitivity and DTR
// handshaking, "NONE" included, and "Hardware" holds RTS on rather than
// handshaking it: devices set up for the earlier releases depend on exactly
// these line states.
constexpr FlagMasks kNoneMasks = {0x3B14, 0x0068};
constexpr FlagMasks kHardwareMasks = {0x2B10, 0x106C};
constexpr FlagMasks kSoftwareMasks = {0x3814, 0x0368};
constexpr std::uint32_t kCustomClear = 0x3B7C;

}  // namespace

std::uint32_t BuildLineFlags(std::uint32_t flagsAsRead, const FlowControlSettings& settings) {
    FlagMasks masks{};
    switch (settings.flowControl) {
        case kFlowNone:
            masks = kNoneMasks;
            break;
        case kFlowHardware:
            masks = kHardwareMasks;
            break;
        case kFlowSoftware:
            masks = kSoftwareMasks;
            break;
        default:
            masks.clear = kCustomClear;
            masks.set = ((settings.useCtsForOutput & 1u) << 2) |
                        ((settings.useDsrForOutput & 1u) << 3) |
                        ((settings.dtrControlMode & 3u) << line_flag::kDtrControlShift) |
                        ((settings.useDsrForInput & 1u) << 6) |
                        ((settings.rtsControlMode & 3u) << line_flag::kRtsControlShift);
            break;
    }
    return (flagsAsRead & ~masks.clear) | masks.set;
}
