// What the command line asks for, from the entry point.
#pragma once

#include <windows.h>

// The process's exit code.
int RunProgram(HINSTANCE instance, int showCommand);
