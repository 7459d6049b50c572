// When a change of the COM port's modem-status lines is reported: the rules
// of the watch, apart from the platform (the reader of the port looks at the
// lines when the driver signals a change). Platform-free.
#pragma once

#include <cstdint>

namespace modem_status {
inline constexpr std::uint32_t kCtsOn = 0x0010;
inline constexpr std::uint32_t kDsrOn = 0x0020;
inline constexpr std::uint32_t kRingOn = 0x0040;
inline constexpr std::uint32_t kRlsdOn = 0x0080;  // carrier detect
}  // namespace modem_status

enum class ModemLine { Dcd, Dsr };

// After a report the watch rests: a line that flickers meanwhile is looked
// at once more when the rest is over, not reported at every edge.
inline constexpr std::uint32_t kModemRestAfterReportMs = 5000;

// What the watch knows between two looks; owned by one thread.
struct ModemWatch {
    std::uint32_t reported = 0;  // the status word last reported; all lines off at first
    std::uint32_t restEnds = 0;  // tick at which the rest ends
    bool resting = false;
    bool lookWhenRested = false;  // the word changed during the rest
};

enum class ModemLook {
    Unchanged,  // nothing to report
    Report,     // report both lines of the status, DCD first; a rest starts
    Later,      // changed during the rest: look again when it ends
};

// A look at the status word at tick now. Any change of the whole word
// reports both lines.
ModemLook LookAtModemLines(ModemWatch& watch, std::uint32_t status, std::uint32_t now);

// Milliseconds until a look is due at the end of the rest, or -1 when none is.
std::int64_t ModemLookDueIn(const ModemWatch& watch, std::uint32_t now);
