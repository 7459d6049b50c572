// The threads that move every relay's bytes in this process: a few threads
// however many bridges run, each serving an I/O completion port of its own
// and the timers the relays need (a keeper's next try, a short pause). Each
// end of a relay is given to the thread serving the fewest ends when the
// relay starts (the two ends to two threads, so that both ways of one
// bridge can run at once) and is attached to that thread's port; the
// thread that reads an end is then the one the read's completion comes
// back to. Under
// Wine, which first hands each completion to the thread that started the
// operation and only then queues it on the port, a port served by several
// threads wakes two threads per completion; on Windows it costs nothing.
// A relay's work comes back to it as a PoolTask: the completion of an
// overlapped operation started with the task's OVERLAPPED, or a post of it.
#pragma once

#include <windows.h>

// One thread of the pool, with its port and timers.
struct RelayShard;

// The OVERLAPPED comes first: a completion hands back its address, which is
// the task's.
struct PoolTask {
    OVERLAPPED overlapped{};
    void (*run)(PoolTask& task) = nullptr;
    void* owner = nullptr;
    RelayShard* shard = nullptr;  // where a post of it goes
};

// Runs once on its shard's thread when due, unless disarmed first.
struct PoolTimer {
    void (*fire)(PoolTimer& timer) = nullptr;
    void* owner = nullptr;
    RelayShard* shard = nullptr;  // set before the timer is first armed
    ULONGLONG due = 0;            // GetTickCount64; under the shard's lock
    bool armed = false;           // under the shard's lock
};

// The count does not grow with the bridges.
inline constexpr int kRelayPoolThreads = 4;

// An end's place in the pool, from the relay's start to the end of its
// record.
class ShardLease {
public:
    ShardLease() = default;
    ShardLease(const ShardLease&) = delete;
    ShardLease& operator=(const ShardLease&) = delete;
    ~ShardLease();
    // Takes the shard serving the fewest ends, starting the pool the first
    // time; once. False when no thread of the pool could be started.
    bool Join();
    RelayShard* Get() const { return shard_; }

private:
    RelayShard* shard_ = nullptr;
};

HANDLE ShardPort(const RelayShard& shard);
bool PostToRelayPool(PoolTask& task);
// Arms timer to fire after milliseconds (again, when armed already). True
// when it was not armed.
bool ArmPoolTimer(PoolTimer& timer, DWORD milliseconds);
// True when it was armed: it will not fire.
bool DisarmPoolTimer(PoolTimer& timer);
// An armed timer fires at once.
void HastenPoolTimer(PoolTimer& timer);
