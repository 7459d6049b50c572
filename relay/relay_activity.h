// What the relay threads leave for the user-interface thread to show. The
// relay never waits for the window: it records the latest chunk of each
// direction and asks for one refresh; the window thread applies counters and
// lamps when it gets to it. Platform-free.
#pragma once

#include <atomic>
#include <cstdint>

#include "relay/traffic_counters.h"

enum class ActivityLamp : int { SerialReceive = 0, SerialSend = 1 };

struct RelayActivityRecord {
    // Size of the latest chunk of each direction not yet shown; 0 when none.
    std::atomic<std::uint32_t> latestChunk[2];
    // Chunks each way so far, for a viewer that looks now and then.
    std::atomic<std::uint32_t> chunkCount[2];
    // Set while a refresh is asked for and not yet applied.
    std::atomic<bool> refreshRequested{false};
};

// What the status window shows of a relay: its counters and the chunks that
// light its lamps.
struct RelayTraffic {
    TrafficCounterSet TrafficCounters;
    RelayActivityRecord activity;
};

// Records a chunk for a lamp (n > 0). Returns true when the caller must ask
// the window thread for a refresh; false when one is already on its way.
bool NoteLampChunk(RelayActivityRecord& activity, ActivityLamp lamp, std::uint32_t n);
// A counter changed. Same result as NoteLampChunk.
bool NoteCounterChange(RelayActivityRecord& activity);

// Window thread: called before reading what to show, so that anything the
// relay records from here on asks for a new refresh.
void BeginRefresh(RelayActivityRecord& activity);
// Window thread: the chunk size to light a lamp for, or 0 when nothing new.
std::uint32_t TakeLampChunk(RelayActivityRecord& activity, ActivityLamp lamp);

// How long a lamp stays lit for a chunk: 5 ms a byte, at most 500 ms (a
// chunk of 4 KiB would otherwise light it for 20 s).
inline constexpr std::uint32_t kLampMsPerByte = 5;
inline constexpr std::uint32_t kLampLitMaxMs = 500;
inline std::uint32_t LampLitMs(std::uint32_t chunk) {
    return chunk < kLampLitMaxMs / kLampMsPerByte ? chunk * kLampMsPerByte : kLampLitMaxMs;
}
