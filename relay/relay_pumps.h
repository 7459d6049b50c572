// The two directions of a relay and the traffic counters they keep. Bytes
// pass unchanged; nothing is translated, filtered or inserted.
#pragma once

#include <windows.h>

#include "relay/relay_context.h"
#include "relay/traffic_counters.h"

// PipeToSerialPump reads the pipe and writes the COM port; SerialToPipePump
// reads the COM port and writes the pipe.
enum class PumpDirection { PipeToSerial, SerialToPipe };
inline constexpr PumpDirection PipeToSerialPump = PumpDirection::PipeToSerial;
inline constexpr PumpDirection SerialToPipePump = PumpDirection::SerialToPipe;

// Starts one direction on the process's pool, with the ends the record has;
// false when the pool could not start or an end could not be attached to it.
bool StartRelayPump(RelayContextRecord& context, PumpDirection direction);

// For StopRelay, with stopping set: cancels what the pump has outstanding
// and ends its pauses now, so that it comes to its end.
void HaltPump(RelayPump& pump);
// For a keeper whose end is back: the pump that reads that end goes on.
void ResumePump(RelayContextRecord& context, LinkSide source);
// Attaches a handle of the end to the pool; false when it cannot be.
bool AttachEnd(RelayContextRecord& context, LinkSide side, HANDLE handle);

// Adds n to a counter of the relay and asks its window to show it.
void AddTraffic(RelayContextRecord& context, TrafficCounter counter, DWORD n);

// The calls of both pumps on their ends, so that tests can see what the
// system answered (a write that had to wait for room in a full pipe) and
// stand in for a driver. attach puts a handle on the pool's port and says
// whether an operation that completes at once still queues a completion.
struct RelayIoCalls {
    decltype(&ReadFile) read;
    decltype(&WriteFile) write;
    bool (*attach)(HANDLE handle, HANDLE port, bool* skipsOnSuccess);
};
extern RelayIoCalls RelayIo;
