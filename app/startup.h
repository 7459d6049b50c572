// The start-up sequence and the message loop: from the splash picture to a
// running relay.
#pragma once

#include <windows.h>

// The eight lamp icons, kept for the life of the process.
void LoadIndicatorIcons(HINSTANCE instance);

// Runs the program; returns the process's exit code (0 on every early end).
int RunVantrel(HINSTANCE instance, int showCommand);
