// What a command given on the command line tells its user.
#pragma once

#include <windows.h>

#include <string>

// Writes text to where the program's standard output (or, for a failure,
// standard error) goes, or to the console the program was started from; a
// program started without one (from Explorer, say) shows it in a box.
void TellUser(const std::wstring& text, bool failure);

// A command that changes settings, given by someone without administrator
// rights: says so and returns true.
bool RefusedWithoutAdministrator();

// "what: the system's text for error", as a failure; returns the exit code 1.
int TellFailure(const std::wstring& what, DWORD error);
