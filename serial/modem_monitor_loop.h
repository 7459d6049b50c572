// The modem-line watcher's loop, apart from the platform: the status source,
// the reports and the pauses are supplied by the caller. Platform-free.
#pragma once

#include <cstdint>

namespace modem_status {
inline constexpr std::uint32_t kCtsOn = 0x0010;
inline constexpr std::uint32_t kDsrOn = 0x0020;
inline constexpr std::uint32_t kRingOn = 0x0040;
inline constexpr std::uint32_t kRlsdOn = 0x0080;  // carrier detect
}  // namespace modem_status

enum class ModemLine { Dcd, Dsr };

inline constexpr std::uint32_t kModemPauseAfterReportMs = 5000;
inline constexpr std::uint32_t kModemPauseAfterFailureMs = 5000;
// While the lines are steady: long enough to cost next to nothing, short
// enough that a change shows at once to a person watching the lamps.
inline constexpr std::uint32_t kModemPollIntervalMs = 100;

struct ModemMonitorHooks {
    void* context;
    // False when the status cannot be read.
    bool (*readStatus)(void* context, std::uint32_t* status);
    void (*report)(void* context, ModemLine line, bool on);
    void (*pause)(void* context, std::uint32_t milliseconds);
    // Checked once per poll; the program's monitor always answers true.
    bool (*keepRunning)(void* context);
};

// Reports both lines, DCD first, whenever the whole status word changes.
void RunModemMonitorLoop(const ModemMonitorHooks& hooks);
