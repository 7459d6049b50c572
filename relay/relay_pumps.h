// The two relay threads, one per direction, and the traffic counters they
// keep. Bytes pass unchanged; nothing is translated, filtered or inserted.
#pragma once

#include <windows.h>

#include "relay/relay_context.h"
#include "relay/traffic_counters.h"

// Thread entry points; the argument is the address of a RelayContextRecord.
DWORD WINAPI PipeToSerialPump(LPVOID context);
DWORD WINAPI SerialToPipePump(LPVOID context);

// The most one read takes from an end.
inline constexpr DWORD kRelayChunkSize = 4096;

// Writes one chunk from the pipe to the COM port, all of it: while the device
// holds it back the thread waits. Counts what went.
void WriteToSerial(RelayContextRecord& context, const BYTE* bytes, DWORD length);
// Writes one chunk from the COM port to the pipe, all of it: while the pipe
// is full the thread waits, and the rest goes as soon as there is room.
// Bytes are left behind only when the pipe fails part-way.
void WriteToPipe(RelayContextRecord& context, const BYTE* bytes, DWORD length);

// Adds n to a counter of the relay and asks its window to show it.
void AddTraffic(RelayContextRecord& context, TrafficCounter counter, DWORD n);

// The read and write calls of both pumps, so that tests can see what the
// system answered (a write that had to wait for room in a full pipe).
struct RelayIoCalls {
    decltype(&ReadFile) read;
    decltype(&WriteFile) write;
};
extern RelayIoCalls RelayIo;
