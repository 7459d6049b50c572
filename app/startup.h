// The start-up sequence and the message loop: from the splash picture to a
// running relay.
#pragma once

#include <windows.h>

#include <string>

// Runs the status window on bridge (empty: the default one), relaying
// itself; returns the process's exit code (0 on every early end but a
// bridge refused for sharing its COM port or pipe with another).
int RunVantrel(HINSTANCE instance, int showCommand, const std::wstring& bridge,
               const std::wstring& traceFile);
