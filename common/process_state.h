// Process-wide values set by start-up on the user-interface thread before any
// worker thread starts, and the one exit routine.
#pragma once

#include <windows.h>

extern HINSTANCE ModuleInstance;

// What must be finished before the process ends, such as stopping the relay
// threads and writing out the trace and the log file: run first by
// ShutdownProgram, in order.
void RecordShutdownStep(void (*step)());

// The one exit routine: finishes the recorded steps, then ends the process
// with exit code 0. The steps leave nothing unwritten; ExitProcess rather
// than exit(), so that no static record is destroyed under a worker thread
// that a step could not stop in time.
[[noreturn]] void ShutdownProgram();
