// The Messages that last: a bridge's entries written, as the pane shows
// them, to a UTF-8 file that is rotated at 1 MiB with three old files kept
// (NAME.log.1 is the newest of them). A writer thread does the writing, so
// that whoever appends never waits for the disk.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "common/handles.h"

inline constexpr std::size_t kLogFileLimitBytes = 1024 * 1024;
inline constexpr int kLogFilesKept = 3;
// What waits for the writer; beyond it text is dropped and counted.
inline constexpr std::size_t kLogQueueLimit = 256 * 1024;

struct LogFile {
    std::wstring path;
    SRWLOCK lock = SRWLOCK_INIT;
    std::wstring queued;      // under lock
    std::size_t dropped = 0;  // characters, under lock
    bool stopping = false;    // under lock
    UniqueKernelHandle ready{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    UniqueKernelHandle writer;
    // Called on the writer thread, once for a run of failures (and again
    // only after a write has succeeded): the system's error code.
    void (*reportFailure)(void* context, const std::wstring& path, DWORD error) = nullptr;
    void* reportContext = nullptr;
};

// Starts the writer of path. False when its thread cannot be started.
bool StartLogFile(LogFile& log, const std::wstring& path);
// Queues text for the file; never waits for the disk.
void AppendToLogFile(LogFile& log, const wchar_t* text);
// Writes what is queued and ends the writer, waiting for it a little over a
// second at most: a writer stuck on a disk that does not answer is left to
// itself (with the record, which must then outlive it).
void StopLogFile(LogFile& log);

// Waits for a writer thread to end: kWriterStopMs, then, after cancelling
// its synchronous I/O, kWriterCancelMs more. False when it still runs.
inline constexpr DWORD kWriterStopMs = 1000;
inline constexpr DWORD kWriterCancelMs = 500;
bool AwaitWriterThread(HANDLE writer);
