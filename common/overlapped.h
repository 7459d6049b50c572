// One overlapped operation waited for together with a stop event (and, where
// given, a time-out), either of which cancels it.
#pragma once

#include <windows.h>

struct Transfer {
    bool ok;
    DWORD count;
    DWORD error;  // ERROR_OPERATION_ABORTED when stopped, timed out or cancelled elsewhere
};

inline OVERLAPPED OverlappedWith(HANDLE event) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    return overlapped;
}

// For an operation whose start returned started; stop may be null. The buffer is free again on
// return, whatever happened.
Transfer AwaitTransfer(HANDLE handle, OVERLAPPED& overlapped, BOOL started, HANDLE stop,
                       DWORD timeoutMs = INFINITE);
