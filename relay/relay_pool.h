// The threads that move every relay's bytes in this process: one I/O
// completion port that the ends of all relays are attached to, served by a
// few threads however many bridges run, and the timers the relays need (a
// keeper's next try, a short pause) kept by the same threads. A relay's
// work comes back to it as a PoolTask: the completion of an overlapped
// operation started with the task's OVERLAPPED, or a post of the task.
#pragma once

#include <windows.h>

// The OVERLAPPED comes first: a completion hands back its address, which is
// the task's.
struct PoolTask {
    OVERLAPPED overlapped{};
    void (*run)(PoolTask& task) = nullptr;
    void* owner = nullptr;
};

// Runs once on a pool thread when due, unless disarmed first.
struct PoolTimer {
    void (*fire)(PoolTimer& timer) = nullptr;
    void* owner = nullptr;
    ULONGLONG due = 0;   // GetTickCount64; under the pool's lock
    bool armed = false;  // under the pool's lock
};

// Enough that one end's blocking open (at most a second) leaves others to
// serve the rest, and that under Wine, which hands each completion to the
// thread that started the operation before the port has it, that thread is
// seldom busy; the count does not grow with the bridges.
inline constexpr int kRelayPoolThreads = 4;

// Starts the port and its threads the first time; they serve until the
// process ends. False when they could not be started.
bool StartRelayPool();
// The port, once started.
HANDLE RelayPoolPort();
bool PostToRelayPool(PoolTask& task);
// Arms timer to fire after milliseconds (again, when armed already). True
// when it was not armed.
bool ArmPoolTimer(PoolTimer& timer, DWORD milliseconds);
// True when it was armed: it will not fire.
bool DisarmPoolTimer(PoolTimer& timer);
// An armed timer fires at once.
void HastenPoolTimer(PoolTimer& timer);
