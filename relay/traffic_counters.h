// The four running byte totals of a relay, shown in the status window. Each
// has one incrementing relay thread; Reset takes and zeroes them.
// Platform-free.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

enum TrafficCounter : int {
    VirtualReceived = 0,  // read from the pipe
    VirtualSent = 1,      // written to the pipe
    SerialReceived = 2,   // read from the COM port
    SerialSent = 3,       // written to the COM port
    kTrafficCounterCount = 4,
};

struct TrafficCounterSet {
    std::atomic<std::uint32_t> value[kTrafficCounterCount]{};
};

// Adds n (wrapping modulo 2^32) and returns the new total.
std::uint32_t AddToCounter(TrafficCounterSet& counters, TrafficCounter counter, std::uint32_t n);
std::uint32_t CounterValue(const TrafficCounterSet& counters, TrafficCounter counter);

struct TrafficTotals {
    std::uint32_t value[kTrafficCounterCount];
};
// Zeroes each counter and returns what it held, in one atomic step per
// counter: bytes counted afterwards are never lost to the reset.
TrafficTotals TakeAndResetCounters(TrafficCounterSet& counters);

// "Data counter reset (was 5, 3, 3, 5)\r\n": the entry of a Reset, each total
// a signed 32-bit number.
std::wstring CounterResetText(const TrafficTotals& totals);

// The total as a signed 32-bit decimal number ("-2147483648" for 2^31).
inline constexpr std::size_t kCounterTextCapacity = 20;
void FormatCounterText(std::uint32_t total, wchar_t* text, std::size_t capacity);

// Reset logs an entry each time: taken at most once a second per bridge, so
// that a loop of resets cannot push the logs out. lastMs is the tick of the
// last reset taken.
inline constexpr std::uint64_t kResetIntervalMs = 1000;
struct ResetRate {
    bool taken = false;
    std::uint64_t lastMs = 0;
};
// Whether a reset asked at nowMs is taken (and then noted).
bool TakeResetAt(ResetRate& rate, std::uint64_t nowMs);
