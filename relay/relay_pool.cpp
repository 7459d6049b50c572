// The pool's threads each take up to a batch of completions per call and
// run them; before each wait the thread fires what timers are due and waits
// no longer than the next. Arming a timer wakes one thread, so that the
// nearest due time is always waited for by some thread.
#include "relay/relay_pool.h"

#include <algorithm>
#include <vector>

namespace {

struct {
    SRWLOCK lock = SRWLOCK_INIT;  // the start and the timers
    HANDLE port = nullptr;        // lives as long as the process
    int threads = 0;
    std::vector<PoolTimer*> timers;
} pool;

constexpr ULONG kBatch = 32;

// Fires the due timers; the time until the next, or INFINITE.
DWORD FireDueTimers() {
    std::vector<PoolTimer*> due;
    DWORD wait = INFINITE;
    AcquireSRWLockExclusive(&pool.lock);
    const ULONGLONG now = GetTickCount64();
    for (auto at = pool.timers.begin(); at != pool.timers.end();) {
        PoolTimer* timer = *at;
        if (timer->due <= now) {
            timer->armed = false;
            due.push_back(timer);
            at = pool.timers.erase(at);
        } else {
            wait = static_cast<DWORD>(std::min<ULONGLONG>(wait, timer->due - now));
            ++at;
        }
    }
    ReleaseSRWLockExclusive(&pool.lock);
    for (PoolTimer* timer : due) {
        timer->fire(*timer);
    }
    return due.empty() ? wait : 0;
}

DWORD WINAPI Serve(LPVOID) {
    OVERLAPPED_ENTRY entries[kBatch];
    for (;;) {
        const DWORD wait = FireDueTimers();
        ULONG count = 0;
        if (!GetQueuedCompletionStatusEx(pool.port, entries, kBatch, &count, wait, FALSE)) {
            continue;  // timed out: timers are due
        }
        for (ULONG i = 0; i < count; ++i) {
            // A post without a task only wakes the thread for its timers.
            if (entries[i].lpOverlapped != nullptr) {
                auto* task = reinterpret_cast<PoolTask*>(entries[i].lpOverlapped);
                task->run(*task);
            }
        }
    }
}

void Wake() {
    PostQueuedCompletionStatus(pool.port, 0, 0, nullptr);
}

}  // namespace

bool StartRelayPool() {
    AcquireSRWLockExclusive(&pool.lock);
    if (pool.port == nullptr) {
        pool.port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, kRelayPoolThreads);
    }
    // Each thread serves the port for the life of the process: its handle
    // is not kept.
    while (pool.port != nullptr && pool.threads < kRelayPoolThreads) {
        const HANDLE thread = CreateThread(nullptr, 0, Serve, nullptr, 0, nullptr);
        if (thread == nullptr) {
            break;
        }
        CloseHandle(thread);
        ++pool.threads;
    }
    const bool running = pool.threads > 0;
    ReleaseSRWLockExclusive(&pool.lock);
    return running;
}

HANDLE RelayPoolPort() {
    return pool.port;
}

bool PostToRelayPool(PoolTask& task) {
    return PostQueuedCompletionStatus(pool.port, 0, 0, &task.overlapped) != FALSE;
}

bool ArmPoolTimer(PoolTimer& timer, DWORD milliseconds) {
    AcquireSRWLockExclusive(&pool.lock);
    const bool was = timer.armed;
    timer.due = GetTickCount64() + milliseconds;
    if (!was) {
        timer.armed = true;
        pool.timers.push_back(&timer);
    }
    ReleaseSRWLockExclusive(&pool.lock);
    Wake();
    return !was;
}

bool DisarmPoolTimer(PoolTimer& timer) {
    AcquireSRWLockExclusive(&pool.lock);
    const bool was = timer.armed;
    if (was) {
        timer.armed = false;
        pool.timers.erase(std::find(pool.timers.begin(), pool.timers.end(), &timer));
    }
    ReleaseSRWLockExclusive(&pool.lock);
    return was;
}

void HastenPoolTimer(PoolTimer& timer) {
    AcquireSRWLockExclusive(&pool.lock);
    const bool armed = timer.armed;
    timer.due = 0;
    ReleaseSRWLockExclusive(&pool.lock);
    if (armed) {
        Wake();
    }
}
