#include "common/link_end.h"

void ReplaceLinkHandle(LinkEnd& end, HANDLE handle) {
    AcquireSRWLockExclusive(&end.lock);
    const HANDLE previous = end.handle.exchange(handle, std::memory_order_acq_rel);
    ReleaseSRWLockExclusive(&end.lock);
    if (IsOpenHandle(previous)) {
        CloseHandle(previous);
    }
}
