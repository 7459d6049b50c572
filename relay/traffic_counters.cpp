#include "relay/traffic_counters.h"

#include <cstdio>

std::uint32_t AddToCounter(TrafficCounterSet& counters, TrafficCounter counter, std::uint32_t n) {
    return counters.value[counter].fetch_add(n, std::memory_order_relaxed) + n;
}

std::uint32_t CounterValue(const TrafficCounterSet& counters, TrafficCounter counter) {
    return counters.value[counter].load(std::memory_order_relaxed);
}

TrafficTotals TakeAndResetCounters(TrafficCounterSet& counters) {
    TrafficTotals totals{};
    for (int i = 0; i < kTrafficCounterCount; ++i) {
        totals.value[i] = counters.value[i].exchange(0, std::memory_order_relaxed);
    }
    return totals;
}

void FormatCounterText(std::uint32_t total, wchar_t* text, std::size_t capacity) {
    if (capacity == 0) {
        return;
    }
    // Made as 8-bit characters first, then widened, truncating to capacity.
    char narrow[16];
    std::snprintf(narrow, sizeof narrow, "%ld",
                  static_cast<long>(static_cast<std::int32_t>(total)));
    std::size_t i = 0;
    for (; i + 1 < capacity && narrow[i] != '\0'; ++i) {
        text[i] = static_cast<wchar_t>(narrow[i]);
    }
    text[i] = L'\0';
}

std::wstring CounterResetText(const TrafficTotals& totals) {
    std::wstring text = L"Data counter reset (was ";
    for (int i = 0; i < kTrafficCounterCount; ++i) {
        wchar_t number[kCounterTextCapacity];
        FormatCounterText(totals.value[i], number, kCounterTextCapacity);
        text += number;
        text += i + 1 < kTrafficCounterCount ? L", " : L")\r\n";
    }
    return text;
}

bool TakeResetAt(ResetRate& rate, std::uint64_t nowMs) {
    if (rate.taken && nowMs - rate.lastMs < kResetIntervalMs) {
        return false;
    }
    rate = {true, nowMs};
    return true;
}
