#include "relay/relay_pool.h"

#include <algorithm>
#include <vector>

struct RelayShard {
    SRWLOCK lock = SRWLOCK_INIT;  // the timers and the wait's end
    HANDLE port = nullptr;        // both live as long as the process
    DWORD threadId = 0;
    int ends = 0;  // under the pool's lock
    std::vector<PoolTimer*> timers;
    // When the thread's wait ends by itself (GetTickCount64; MAXULONGLONG:
    // never): a timer due sooner must wake it.
    ULONGLONG waitEnds = MAXULONGLONG;
};

namespace {

struct {
    SRWLOCK lock = SRWLOCK_INIT;  // the start and the ends' counts
    RelayShard shards[kRelayPoolThreads];
    int started = 0;
} pool;

// Fires the shard's due timers; the time until the next, or INFINITE.
DWORD FireDueTimers(RelayShard& shard) {
    std::vector<PoolTimer*> due;
    DWORD wait = INFINITE;
    AcquireSRWLockExclusive(&shard.lock);
    const ULONGLONG now = GetTickCount64();
    for (auto at = shard.timers.begin(); at != shard.timers.end();) {
        PoolTimer* timer = *at;
        if (timer->due <= now) {
            timer->armed = false;
            due.push_back(timer);
            at = shard.timers.erase(at);
        } else {
            wait = static_cast<DWORD>(std::min<ULONGLONG>(wait, timer->due - now));
            ++at;
        }
    }
    shard.waitEnds = !due.empty() ? now : wait == INFINITE ? MAXULONGLONG : now + wait;
    ReleaseSRWLockExclusive(&shard.lock);
    for (PoolTimer* timer : due) {
        timer->fire(*timer);
    }
    return due.empty() ? wait : 0;
}

// One completion a call: under Wine a call for more costs the server one
// more request whenever fewer are queued, which at the rate of serial
// lines is nearly always.
DWORD WINAPI Serve(LPVOID parameter) {
    RelayShard& shard = *static_cast<RelayShard*>(parameter);
    for (;;) {
        const DWORD wait = FireDueTimers(shard);
        OVERLAPPED_ENTRY entry{};
        ULONG count = 0;
        if (!GetQueuedCompletionStatusEx(shard.port, &entry, 1, &count, wait, FALSE)) {
            continue;  // timed out: timers are due
        }
        // A post without a task only wakes the thread for its timers.
        if (count == 1 && entry.lpOverlapped != nullptr) {
            auto* task = reinterpret_cast<PoolTask*>(entry.lpOverlapped);
            task->run(*task);
        }
    }
}

// A post without a task: the thread looks at its timers again.
void WakeShard(RelayShard& shard) {
    PostQueuedCompletionStatus(shard.port, 0, 0, nullptr);
}

bool StartShard(RelayShard& shard) {
    shard.port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (shard.port == nullptr) {
        return false;
    }
    // The thread serves the port for the life of the process: its handle
    // is not kept.
    const HANDLE thread = CreateThread(nullptr, 0, Serve, &shard, 0, &shard.threadId);
    if (thread == nullptr) {
        CloseHandle(shard.port);
        shard.port = nullptr;
        return false;
    }
    CloseHandle(thread);
    return true;
}

}  // namespace

ShardLease::~ShardLease() {
    if (shard_ != nullptr) {
        AcquireSRWLockExclusive(&pool.lock);
        --shard_->ends;
        ReleaseSRWLockExclusive(&pool.lock);
    }
}

bool ShardLease::Join() {
    if (shard_ != nullptr) {
        return true;
    }
    AcquireSRWLockExclusive(&pool.lock);
    while (pool.started < kRelayPoolThreads && StartShard(pool.shards[pool.started])) {
        ++pool.started;
    }
    if (pool.started > 0) {
        shard_ = std::min_element(
            pool.shards, pool.shards + pool.started,
            [](const RelayShard& a, const RelayShard& b) { return a.ends < b.ends; });
        ++shard_->ends;
    }
    ReleaseSRWLockExclusive(&pool.lock);
    return shard_ != nullptr;
}

HANDLE ShardPort(const RelayShard& shard) {
    return shard.port;
}

bool PostToRelayPool(PoolTask& task) {
    return PostQueuedCompletionStatus(task.shard->port, 0, 0, &task.overlapped) != FALSE;
}

bool ArmPoolTimer(PoolTimer& timer, DWORD milliseconds) {
    RelayShard& shard = *timer.shard;
    AcquireSRWLockExclusive(&shard.lock);
    const bool was = timer.armed;
    timer.due = GetTickCount64() + milliseconds;
    if (!was) {
        timer.armed = true;
        shard.timers.push_back(&timer);
    }
    // The shard's own thread looks at its timers before it waits again.
    const bool wake = timer.due < shard.waitEnds && GetCurrentThreadId() != shard.threadId;
    if (wake) {
        shard.waitEnds = timer.due;
    }
    ReleaseSRWLockExclusive(&shard.lock);
    if (wake) {
        WakeShard(shard);
    }
    return !was;
}

bool DisarmPoolTimer(PoolTimer& timer) {
    if (timer.shard == nullptr) {
        return false;
    }
    RelayShard& shard = *timer.shard;
    AcquireSRWLockExclusive(&shard.lock);
    const bool was = timer.armed;
    if (was) {
        timer.armed = false;
        shard.timers.erase(std::find(shard.timers.begin(), shard.timers.end(), &timer));
    }
    ReleaseSRWLockExclusive(&shard.lock);
    return was;
}

void HastenPoolTimer(PoolTimer& timer) {
    if (timer.shard == nullptr) {
        return;
    }
    RelayShard& shard = *timer.shard;
    AcquireSRWLockExclusive(&shard.lock);
    const bool armed = timer.armed;
    timer.due = 0;
    const bool wake = armed && GetCurrentThreadId() != shard.threadId;
    if (wake) {
        shard.waitEnds = 0;
    }
    ReleaseSRWLockExclusive(&shard.lock);
    if (wake) {
        WakeShard(shard);
    }
}
