// The client end of the virtual machine's pipe: wait for it, open it in
// non-blocking byte mode, and record each open in the event log.
#pragma once

#include <windows.h>

// Through here so that tests can read the records: Wine keeps no event log
// that can be read back.
struct EventLogCalls {
    decltype(&RegisterEventSourceW) registerSource;
    decltype(&ReportEventW) reportEvent;
};
extern EventLogCalls EventLog;

// CreateFileW for the pipe, replaceable so that tests can see the open's
// flags: Wine lets any server impersonate its clients, whatever they ask.
extern decltype(&CreateFileW) OpenPipeFile;

// Start-up: waits for the pipe named in PortSettings, through the connection
// failure dialog while it is absent, and opens it. INVALID_HANDLE_VALUE after
// a failed open, which it has reported in a box.
HANDLE ConnectPipe();

// The event source "Vantrel", registered once for the life of the process.
// False when it cannot be registered.
bool RegisterPipeEventSource();

// Read and write, synchronous handle. The quality of service keeps whatever
// serves the pipe from acting as the user who runs Vantrel.
inline constexpr DWORD kPipeOpenFlags = FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING |
                                        FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT |
                                        SECURITY_IDENTIFICATION;

struct PipeOpenOutcome {
    HANDLE pipe;                    // INVALID_HANDLE_VALUE on failure
    DWORD error;                    // the failing call's error code
    const wchar_t* failureCaption;  // the caption of its error box
};

// Everything after a successful wait: logs "Pipe found, creating
// connection...", opens pipePath, writes the event record, switches to
// non-blocking byte mode and logs "Connected to pipe" (or the failure text).
// Shows no box.
PipeOpenOutcome OpenVmPipe(const wchar_t* pipePath);
