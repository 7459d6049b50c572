// The start-up sequence and the message loop: from the splash picture to a
// running relay.
#pragma once

#include <windows.h>

#include "relay/relay_context.h"

// The program's relay: both ends, filled by start-up once they are open.
extern RelayContextRecord RelayContext;

// Runs the program; returns the process's exit code (0 on every early end).
int RunVantrel(HINSTANCE instance, int showCommand);
