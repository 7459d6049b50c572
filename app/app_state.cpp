#include "app/app_state.h"

#include <cstdlib>

HINSTANCE ModuleInstance;
HWND StatusWindow;
IndicatorIconSet IndicatorIcons;
RelayContextRecord RelayContext = {{SRWLOCK_INIT, nullptr}, {SRWLOCK_INIT, nullptr}};

void ReplaceLinkHandle(LinkEnd& end, HANDLE handle) {
    AcquireSRWLockExclusive(&end.lock);
    const HANDLE previous = end.handle.exchange(handle, std::memory_order_acq_rel);
    ReleaseSRWLockExclusive(&end.lock);
    if (IsOpenHandle(previous)) {
        CloseHandle(previous);
    }
}

void ShutdownProgram() {
    const HANDLE serial = RelayContext.serial.handle.load(std::memory_order_acquire);
    if (IsOpenHandle(serial)) {
        CloseHandle(serial);
    }
    const HANDLE pipe = RelayContext.pipe.handle.load(std::memory_order_acquire);
    if (IsOpenHandle(pipe)) {
        DisconnectNamedPipe(pipe);
    }
    PostQuitMessage(0);
    std::exit(0);
}
