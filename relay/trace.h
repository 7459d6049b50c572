// The trace of a relay: every chunk each way, and the losses and returns of
// its ends, written to a file as a timeline (trace_format.h). The relay
// threads hand chunks to a bounded buffer and go on; a writer thread does
// the formatting and the writing, so the relay never waits for the disk.
// When the writer falls behind, what did not fit is counted and the trace
// says so at that point; when the file cannot be written, the trace stops
// with one entry in the Messages and the relay goes on.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/writer_thread.h"
#include "relay/trace_format.h"

struct StatusClient;

// Beyond this much waiting for the writer, chunks are counted, not kept.
inline constexpr std::size_t kTraceBufferLimit = 1024 * 1024;
// A trace that runs for days cannot fill the disk: at 16 MiB the file
// becomes FILE.1, and three old files are kept, as a log's are.
inline constexpr std::uint64_t kTraceFileLimitBytes = 16 * 1024 * 1024;
inline constexpr int kTraceFilesKept = 3;

struct TraceRecord {
    SYSTEMTIME time;
    bool chunk;  // a chunk, or else an event line
    TraceDirection direction;
    std::vector<unsigned char> bytes;
    std::wstring text;
};

struct TraceWriter {
    WriterQueue<TraceRecord> queue;  // open: chunks are taken
    UniqueFile file;                 // the writer's while it runs
    std::uint64_t fileBytes = 0;     // the writer's while it runs
    StatusClient* status = nullptr;
};

// Opens (appending to) path and starts the writer; false, with a Messages
// entry, when the file cannot be opened, when path is not a whole path
// ("C:\\..."), or when it is a link (secure_files.h). A trace already running is stopped
// first.
bool StartTrace(TraceWriter& trace, StatusClient& status, const std::wstring& path);
// Writes what is waiting, closes the file and says so in the Messages.
void StopTrace(TraceWriter& trace);
bool IsTracing(TraceWriter& trace);

// From the relay threads and keepers: never waits for the disk.
void TraceChunk(TraceWriter& trace, TraceDirection direction, const BYTE* bytes, DWORD count);
void TraceEvent(TraceWriter& trace, const std::wstring& text);
