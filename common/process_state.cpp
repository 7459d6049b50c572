#include "common/process_state.h"

#include <cstdlib>

HINSTANCE ModuleInstance;

namespace {

LinkEnd* recordedPipe = nullptr;
LinkEnd* recordedSerial = nullptr;
void (*shutdownSteps[4])() = {};

HANDLE RecordedHandle(const LinkEnd* end) {
    return end != nullptr ? end->handle.load(std::memory_order_acquire) : nullptr;
}

}  // namespace

void RecordEndsForShutdown(LinkEnd* pipe, LinkEnd* serial) {
    recordedPipe = pipe;
    recordedSerial = serial;
}

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
    const HANDLE serial = RecordedHandle(recordedSerial);
    if (IsOpenHandle(serial)) {
        CloseHandle(serial);
    }
    const HANDLE pipe = RecordedHandle(recordedPipe);
    if (IsOpenHandle(pipe)) {
        DisconnectNamedPipe(pipe);
    }
    PostQuitMessage(0);
    std::exit(0);
}
