// One end of a relay: the COM port or the pipe, shared by the threads that
// read, write and keep it.
#pragma once

#include <windows.h>

#include <atomic>

#include "common/handles.h"

// The handle is replaced only when the end is lost and reopened, under the
// exclusive lock; a thread that uses the handle holds the lock shared
// meanwhile. INVALID_HANDLE_VALUE (or null) while the end is down. The end
// owns its handle: a replaced one is closed.
struct LinkEnd {
    SRWLOCK lock;
    std::atomic<HANDLE> handle;
    // Counts the handles put in: a reopened end may get the value of the
    // handle it had before, which tells its users nothing.
    std::atomic<unsigned> openings{0};
};

// A handle of an end as a thread met it: with its opening, which tells a
// handle from a later one that the system gave the same value.
struct EndInUse {
    HANDLE handle = INVALID_HANDLE_VALUE;
    unsigned opening = 0;
};

// Holds a link end's lock shared for as long as it lives.
class SharedLinkUse {
public:
    explicit SharedLinkUse(LinkEnd& end) : end_(end) { AcquireSRWLockShared(&end_.lock); }
    ~SharedLinkUse() { ReleaseSRWLockShared(&end_.lock); }
    SharedLinkUse(const SharedLinkUse&) = delete;
    SharedLinkUse& operator=(const SharedLinkUse&) = delete;
    HANDLE Handle() const { return end_.handle.load(std::memory_order_acquire); }
    unsigned Opening() const { return end_.openings.load(std::memory_order_acquire); }
    EndInUse InUse() const { return {Handle(), Opening()}; }

private:
    LinkEnd& end_;
};

// Replaces the handle of a link end under its exclusive lock, closing the one
// it held (if any) once no other thread uses it.
void ReplaceLinkHandle(LinkEnd& end, HANDLE handle);
