// Flow-control settings to the device-control flag word (the DCB's 32 bits of
// fBinary ... fDummy2, lowest bit first). Platform-free.
#pragma once

#include <cstdint>

namespace line_flag {
inline constexpr std::uint32_t kOutxCtsFlow = 1u << 2;
inline constexpr std::uint32_t kOutxDsrFlow = 1u << 3;
inline constexpr int kDtrControlShift = 4;  // two bits: 0 off, 1 on, 2 handshake
inline constexpr std::uint32_t kDtrControlLow = 1u << kDtrControlShift;
inline constexpr std::uint32_t kDtrControlHigh = 2u << kDtrControlShift;
inline constexpr std::uint32_t kDsrSensitivity = 1u << 6;
inline constexpr std::uint32_t kOutX = 1u << 8;
inline constexpr std::uint32_t kInX = 1u << 9;
inline constexpr std::uint32_t kNull = 1u << 11;
inline constexpr int kRtsControlShift = 12;  // two bits: 0 off, 1 on, 2 handshake, 3 toggle
inline constexpr std::uint32_t kRtsControlLow = 1u << kRtsControlShift;
inline constexpr std::uint32_t kRtsControlHigh = 2u << kRtsControlShift;
inline constexpr std::uint32_t kAbortOnError = 1u << 14;
}  // namespace line_flag

enum FlowControlMode : std::uint8_t {
    kFlowNone = 0,
    kFlowHardware = 1,  // RTS/CTS
    kFlowSoftware = 2,  // Xon/Xoff
    kFlowCustom = 3,    // and every value above
};

struct FlowControlSettings {
    std::uint8_t flowControl;
    std::uint32_t useCtsForOutput;
    std::uint32_t useDsrForOutput;
    std::uint32_t dtrControlMode;
    std::uint32_t useDsrForInput;
    std::uint32_t rtsControlMode;
};

// The flag word to put on the port: the members that flow control owns are
// set from the settings, every other bit goes back as the driver reported it.
// fNull and fAbortOnError are always cleared.
std::uint32_t BuildLineFlags(std::uint32_t flagsAsRead, const FlowControlSettings& settings);
