#include "common/process_state.h"

HINSTANCE ModuleInstance;

namespace {

void (*shutdownSteps[4])() = {};

}  // namespace

void RecordShutdownStep(void (*step)()) {
    for (auto& slot : shutdownSteps) {
        if (slot == nullptr) {
            slot = step;
            return;
        }
    }
}

void ShutdownProgram() {
    for (const auto step : shutdownSteps) {
        if (step != nullptr) {
            step();
        }
    }
    ExitProcess(0);
}
