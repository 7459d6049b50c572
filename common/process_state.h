// Process-wide values set by start-up on the user-interface thread before any
// worker thread starts, and the one exit routine.
#pragma once

#include <windows.h>

extern HINSTANCE ModuleInstance;

// The one exit routine, which the application sets before any window opens:
// it finishes what must be finished (the relay threads, the trace, the log
// file) and ends the process with exit code 0. It does not return.
extern void (*ShutdownProgram)();
