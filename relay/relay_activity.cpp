#include "relay/relay_activity.h"

bool NoteLampChunk(RelayActivityRecord& activity, ActivityLamp lamp, std::uint32_t n) {
    activity.latestChunk[static_cast<int>(lamp)].store(n, std::memory_order_relaxed);
    activity.chunkCount[static_cast<int>(lamp)].fetch_add(1, std::memory_order_relaxed);
    return NoteCounterChange(activity);
}

bool NoteCounterChange(RelayActivityRecord& activity) {
    // acq_rel: the window thread that clears the flag must see the values
    // stored before it was set again.
    return !activity.refreshRequested.exchange(true, std::memory_order_acq_rel);
}

void BeginRefresh(RelayActivityRecord& activity) {
    // A read-modify-write, so that it takes up the release of the relay's
    // last request: every value stored before that request is visible here.
    activity.refreshRequested.exchange(false, std::memory_order_acq_rel);
}

std::uint32_t TakeLampChunk(RelayActivityRecord& activity, ActivityLamp lamp) {
    return activity.latestChunk[static_cast<int>(lamp)].exchange(0, std::memory_order_acq_rel);
}
