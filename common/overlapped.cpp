#include "common/overlapped.h"

Transfer AwaitTransfer(HANDLE handle, OVERLAPPED& overlapped, BOOL started, HANDLE stop,
                       DWORD timeoutMs) {
    if (!started) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            return {false, 0, error};
        }
        const HANDLE events[] = {overlapped.hEvent, stop};
        if (WaitForMultipleObjects(stop != nullptr ? 2 : 1, events, FALSE, timeoutMs) !=
            WAIT_OBJECT_0) {
            CancelIoEx(handle, &overlapped);
        }
    }
    DWORD count = 0;
    const bool ok = GetOverlappedResult(handle, &overlapped, &count, TRUE) != FALSE;
    return {ok, count, ok ? ERROR_SUCCESS : GetLastError()};
}
