// Process-wide values set by start-up on the user-interface thread before any
// worker thread starts, and the one exit routine.
#pragma once

#include <windows.h>

#include "common/link_end.h"

extern HINSTANCE ModuleInstance;

// The ends ShutdownProgram closes; until start-up records them there is
// nothing to close.
void RecordEndsForShutdown(LinkEnd* pipe, LinkEnd* serial);

// What must be finished before the process ends, such as writing out the
// trace and the log file: run first by ShutdownProgram, in order.
void RecordShutdownStep(void (*step)());

// The one exit routine: finishes the recorded steps, closes the COM port,
// disconnects the pipe, posts the quit message and ends the process with exit
// code 0. Worker threads are not told; they end with the process.
[[noreturn]] void ShutdownProgram();
