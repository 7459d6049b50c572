#include "serial/modem_lines.h"

namespace {

// Ticks wrap after about 49.7 days: the distance is taken as signed.
std::int32_t Until(std::uint32_t tick, std::uint32_t now) {
    return static_cast<std::int32_t>(tick - now);
}

}  // namespace

ModemLook LookAtModemLines(ModemWatch& watch, std::uint32_t status, std::uint32_t now) {
    if (watch.resting && Until(watch.restEnds, now) <= 0) {
        watch.resting = false;
    }
    watch.lookWhenRested = false;
    if (status == watch.reported) {
        return ModemLook::Unchanged;
    }
    if (watch.resting) {
        watch.lookWhenRested = true;
        return ModemLook::Later;
    }
    watch.reported = status;
    watch.resting = true;
    watch.restEnds = now + kModemRestAfterReportMs;
    return ModemLook::Report;
}

std::int64_t ModemLookDueIn(const ModemWatch& watch, std::uint32_t now) {
    if (!watch.lookWhenRested) {
        return -1;
    }
    const std::int32_t left = Until(watch.restEnds, now);
    return left > 0 ? left : 0;
}
