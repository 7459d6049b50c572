// The client end of the virtual machine's pipe: open it in non-blocking byte
// mode, and record each open in the event log. Silent attempts that say what
// happened.
#pragma once

#include <windows.h>

#include "pipe/pipe_server_rule.h"

// CreateFileW for the pipe, replaceable so that tests can see the open's
// flags: Wine lets any server impersonate its clients, whatever they ask.
extern decltype(&CreateFileW) OpenPipeFile;

// The event source "Vantrel" (event_log.h), registered once for the life of
// the process. False when it cannot be registered.
bool RegisterPipeEventSource();

// Read and write, for overlapped I/O. The quality of service keeps whatever
// serves the pipe from acting as the user who runs Vantrel.
inline constexpr DWORD kPipeOpenFlags = FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING |
                                        FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL |
                                        SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// ServerRefused: the pipe opened, but whoever serves it is not accepted
// (pipe_server_rule.h); the pipe is closed again.
enum class PipeOpenStep { Opened, NotOpened, ServerRefused, ModeNotSet };

struct PipeOpenAttempt {
    HANDLE pipe;  // INVALID_HANDLE_VALUE unless opened
    PipeOpenStep step;
    DWORD error;             // the failing call's error code
    PipeServerFacts server;  // who serves the pipe, once it opened
};

// Opens pipePath (found by a wait just before), checks who serves it, writes
// the event record of the open and switches the pipe to byte mode.
PipeOpenAttempt OpenPipeClient(const wchar_t* pipePath);
