// Running a helper program to its end within a time limit, and what it
// printed. The program, and whatever it starts, runs in a job object: a time
// limit, a cancel or the end of this process ends all of it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

enum class ChildEnd { Exited, NotStarted, TimedOut, Cancelled };

struct ChildOutcome {
    ChildEnd end = ChildEnd::NotStarted;
    DWORD error = ERROR_SUCCESS;  // why it did not start
    DWORD exitCode = 0;
    std::string output;  // its standard output and error, as bytes
    std::string errors;
};

// program is a full path (never looked up on PATH); commandLine is the whole
// command line, program's name first. variables ("NAME=value") are added to
// this process's environment for the child, replacing any of the same name:
// data reaches the child there, never in its command line. It starts in the
// system folder, with no console window and nothing to read on its input.
// cancel, when not null, is an event that ends the child early.
ChildOutcome RunChild(const std::wstring& program, std::wstring commandLine,
                      const std::vector<std::wstring>& variables, DWORD timeLimitMs, HANDLE cancel);
