// Process-wide values of the program: set by start-up on the user-interface
// thread before any worker thread starts, only read afterwards (the link
// handles excepted, see LinkEnd).
#pragma once

#include <windows.h>

#include <atomic>

struct IndicatorIconSet {
    HICON receiveDark;  // 156
    HICON receiveLit;   // 155
    HICON sendDark;     // 158
    HICON sendLit;      // 157
    HICON carrierDark;  // 166
    HICON carrierLit;   // 167
    HICON dataSetDark;  // 168
    HICON dataSetLit;   // 169
};

extern HINSTANCE ModuleInstance;
extern HWND StatusWindow;  // null until the status window exists
extern IndicatorIconSet IndicatorIcons;

// One end of the relay: the COM port or the pipe. The handle is replaced only
// when the end is lost and reopened, by the relay thread that reads from that
// end, under the exclusive lock; a thread that uses the handle of the other
// end holds the lock shared meanwhile. INVALID_HANDLE_VALUE while the end is
// down. Trivially destructible: worker threads use it until the process ends.
struct LinkEnd {
    SRWLOCK lock;
    std::atomic<HANDLE> handle;
};

// The record both relay threads receive by address: the pipe first, then the
// COM port. Start-up fills it once; afterwards only the recovery of a lost end
// changes a handle.
struct RelayContextRecord {
    LinkEnd pipe;
    LinkEnd serial;
};

extern RelayContextRecord RelayContext;

inline bool IsOpenHandle(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Holds a link end's lock shared for as long as it lives.
struct SharedLinkUse {
    explicit SharedLinkUse(LinkEnd& end) : end_(end) { AcquireSRWLockShared(&end_.lock); }
    ~SharedLinkUse() { ReleaseSRWLockShared(&end_.lock); }
    SharedLinkUse(const SharedLinkUse&) = delete;
    SharedLinkUse& operator=(const SharedLinkUse&) = delete;
    HANDLE Handle() const { return end_.handle.load(std::memory_order_acquire); }

private:
    LinkEnd& end_;
};

// Replaces the handle of a link end under its exclusive lock, closing the one
// it held (if any) once no other thread uses it.
void ReplaceLinkHandle(LinkEnd& end, HANDLE handle);

// The one exit routine: closes the COM port, disconnects the pipe, posts the
// quit message and ends the process with exit code 0. Worker threads are not
// told; they end with the process.
[[noreturn]] void ShutdownProgram();
