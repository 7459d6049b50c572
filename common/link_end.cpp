#include "common/link_end.h"

void ReplaceLinkHandle(LinkEnd& end, HANDLE handle) {
    // From here on nobody starts anything on the previous handle.
    const HANDLE previous = end.handle.exchange(INVALID_HANDLE_VALUE, std::memory_order_acq_rel);
    // A user of the previous handle may wait on I/O that never completes (a
    // read of a port whose device has gone): cancel it until the last user
    // has let go. Only the keeper of a lost end gets here, and rarely.
    while (!TryAcquireSRWLockExclusive(&end.lock)) {
        if (IsOpenHandle(previous)) {
            CancelIoEx(previous, nullptr);
        }
        Sleep(1);
    }
    // Operations left pending on it by users that have let go (the relay's
    // pumps hold the lock only to start one) end now, before it is closed.
    if (IsOpenHandle(previous)) {
        CancelIoEx(previous, nullptr);
    }
    end.handle.store(handle, std::memory_order_release);
    end.openings.fetch_add(1, std::memory_order_acq_rel);
    ReleaseSRWLockExclusive(&end.lock);
    if (IsOpenHandle(previous)) {
        CloseHandle(previous);
    }
}
