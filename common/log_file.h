// The Messages that last: a bridge's entries written, as the pane shows
// them, to a UTF-8 file that is rotated at 1 MiB with three old files kept
// (NAME.log.1 is the newest of them). A writer thread does the writing, so
// that whoever appends never waits for the disk.
#pragma once

#include <cstddef>
#include <string>

#include "common/writer_thread.h"

inline constexpr std::size_t kLogFileLimitBytes = 1024 * 1024;
inline constexpr int kLogFilesKept = 3;
// What waits for the writer, in characters; beyond it text is dropped and counted.
inline constexpr std::size_t kLogQueueLimit = 256 * 1024;

// Its reportFailure, when set, hears of a run of failures once.
using LogFile = WriterQueue<std::wstring>;

// Starts the writer of path. False when its thread cannot be started.
bool StartLogFile(LogFile& log, const std::wstring& path);
// Queues text for the file; never waits for the disk.
void AppendToLogFile(LogFile& log, const wchar_t* text);
// Writes what is queued and ends the writer.
inline void StopLogFile(LogFile& log) {
    StopWriter(log);
}
