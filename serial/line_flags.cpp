#include "serial/line_flags.h"

namespace {

using namespace line_flag;

struct FlagMasks {
    std::uint32_t clear;
    std::uint32_t set;
};

// Every fixed mode holds DSR output flow control, DSR sensitivity and DTR
// handshaking, "NONE" included, and "Hardware" holds RTS on rather than
// handshaking it: devices set up for the earlier releases depend on exactly
// these line states. The fixed modes clear only the low bit of the DTR
// control and set its high bit, so DTR ends up handshaking in every one.
constexpr std::uint32_t kRtsControl = kRtsControlLow | kRtsControlHigh;
constexpr std::uint32_t kDsrHandshake = kOutxDsrFlow | kDtrControlHigh | kDsrSensitivity;
constexpr FlagMasks kNoneMasks = {
    kOutxCtsFlow | kDtrControlLow | kOutX | kInX | kNull | kRtsControl, kDsrHandshake};
constexpr FlagMasks kHardwareMasks = {kDtrControlLow | kOutX | kInX | kNull | kRtsControlHigh,
                                      kOutxCtsFlow | kDsrHandshake | kRtsControlLow};
constexpr FlagMasks kSoftwareMasks = {kOutxCtsFlow | kDtrControlLow | kNull | kRtsControl,
                                      kDsrHandshake | kOutX | kInX};
constexpr std::uint32_t kCustomClear = kOutxCtsFlow | kOutxDsrFlow | kDtrControlLow |
                                       kDtrControlHigh | kDsrSensitivity | kOutX | kInX | kNull |
                                       kRtsControl;

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
            masks.set = ((settings.useCtsForOutput & 1u) != 0 ? kOutxCtsFlow : 0u) |
                        ((settings.useDsrForOutput & 1u) != 0 ? kOutxDsrFlow : 0u) |
                        ((settings.dtrControlMode & 3u) << kDtrControlShift) |
                        ((settings.useDsrForInput & 1u) != 0 ? kDsrSensitivity : 0u) |
                        ((settings.rtsControlMode & 3u) << kRtsControlShift);
            break;
    }
    // With fAbortOnError a driver fails every read, wait and write after one
    // framing, parity or overrun error until ClearCommError is called: one
    // bad byte on the line would stall the relay. It is cleared in every mode.
    return (flagsAsRead & ~(masks.clear | kAbortOnError)) | masks.set;
}
