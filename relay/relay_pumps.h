// The two relay threads, one per direction, and the traffic counters they
// keep. Bytes pass unchanged; nothing is translated, filtered or inserted.
#pragma once

#include <windows.h>

#include "relay/relay_context.h"
#include "relay/traffic_counters.h"

// Thread entry points; the argument is the address of a RelayContextRecord.
DWORD WINAPI PipeToSerialPump(LPVOID context);
DWORD WINAPI SerialToPipePump(LPVOID context);

inline constexpr DWORD kPipeChunkSize = 100;
inline constexpr DWORD kSerialChunkSize = 10;
inline constexpr DWORD kEmptyPipePauseMs = 30;
// For this long after the last bytes from the pipe, an empty pipe is looked
// at again after only kBusyPipePauseMs.
inline constexpr DWORD kBusyPipeMs = 100;
inline constexpr DWORD kBusyPipePauseMs = 1;
inline constexpr DWORD kSerialHealthCheckMs = 1000;

// Writes one chunk from the pipe to the COM port and counts what went.
void WriteToSerial(RelayContextRecord& context, const BYTE* bytes, DWORD length);
// Writes one chunk from the COM port to the pipe, all of it: while the pipe
// is full the rest waits and goes as soon as there is room. Bytes are left
// behind only when the pipe fails part-way.
void WriteToPipe(RelayContextRecord& context, const BYTE* bytes, DWORD length);

// Adds n to a counter and asks the window of status to show it.
void AddTraffic(StatusClient& status, TrafficCounter counter, DWORD n);

// The pipe-full pause of WriteToPipe, and the read and write calls of both
// pumps, can be replaced by tests that need a failure Wine cannot produce.
struct RelayIoCalls {
    decltype(&ReadFile) read;
    decltype(&WriteFile) write;
};
extern RelayIoCalls RelayIo;
inline constexpr DWORD kPipeFullPauseMs = 1;
