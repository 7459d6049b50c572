#include "serial/modem_monitor_loop.h"

void RunModemMonitorLoop(const ModemMonitorHooks& hooks) {
    std::uint32_t previous = 0;
    while (hooks.keepRunning(hooks.context)) {
        std::uint32_t status = 0;
        if (!hooks.readStatus(hooks.context, &status)) {
            hooks.pause(hooks.context, kModemPauseAfterFailureMs);
            continue;
        }
        if (status == previous) {
            hooks.pause(hooks.context, kModemPollIntervalMs);
            continue;
        }
        previous = status;
        hooks.report(hooks.context, ModemLine::Dcd, (status & modem_status::kRlsdOn) != 0);
        hooks.report(hooks.context, ModemLine::Dsr, (status & modem_status::kDsrOn) != 0);
        hooks.pause(hooks.context, kModemPauseAfterReportMs);
    }
}
