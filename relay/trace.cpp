#include "relay/trace.h"

#include "common/secure_files.h"
#include "common/status_client.h"

namespace {

TraceTime TimeOf(const SYSTEMTIME& time) {
    return {time.wYear,   time.wMonth,  time.wDay,         time.wHour,
            time.wMinute, time.wSecond, time.wMilliseconds};
}

TraceRecord EventRecord(const std::wstring& text) {
    TraceRecord record{};
    GetLocalTime(&record.time);
    record.text = text;
    return record;
}

TraceRecord LossNote(std::size_t lost) {
    return EventRecord(std::to_wstring(lost) + L" bytes not traced");
}

// Disk full, file gone: the trace ends here, the relay goes on.
void ReportFailure(void* status, const std::wstring& path, DWORD error) {
    AppendFailureEntry(*static_cast<StatusClient*>(status),
                       L"The trace to " + path + L" stopped: it could not be written", error);
}

// The file, rotated first when text would take it past its limit.
// ERROR_SUCCESS or why it cannot be written.
DWORD WriteToTraceFile(TraceWriter& trace, const std::string& text) {
    if (trace.fileBytes > 0 && trace.fileBytes + text.size() > kTraceFileLimitBytes) {
        trace.file.Reset();
        DWORD error = RotateDataFile(trace.queue.path, kTraceFilesKept);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        trace.file = OpenDataFile(trace.queue.path, FILE_APPEND_DATA, FILE_SHARE_READ, error);
        if (!trace.file.IsOpen()) {
            return error;
        }
        trace.fileBytes = 0;
    }
    const DWORD error = WriteWhole(trace.file.Get(), text);
    trace.fileBytes += error == ERROR_SUCCESS ? text.size() : 0;
    return error;
}

DWORD WriteRecords(WriterQueue<TraceRecord>& queue, std::vector<TraceRecord>& records) {
    std::string text;
    for (const TraceRecord& record : records) {
        text += record.chunk ? FormatTraceChunk(TimeOf(record.time), record.direction,
                                                record.bytes.data(), record.bytes.size())
                             : FormatTraceEvent(TimeOf(record.time), record.text);
    }
    return WriteToTraceFile(*static_cast<TraceWriter*>(queue.owner), text);
}

}  // namespace

bool StartTrace(TraceWriter& trace, StatusClient& status, const std::wstring& path) {
    StopTrace(trace);
    // A writer left stuck in a write still uses the record and its file: a
    // new trace waits until it has ended.
    if (trace.queue.started) {
        AppendLogEntry(status, (L"Couldn't start a trace to " + path +
                                L": the last trace is still being written; try again later\r\n")
                                   .c_str());
        return false;
    }
    trace.status = &status;
    // A relative path would land wherever the process happens to be (the
    // service's is System32).
    if (!IsAbsolutePath(path)) {
        AppendLogEntry(status, (L"Couldn't start a trace to " + path +
                                L": give the whole path of the file, beginning with its drive\r\n")
                                   .c_str());
        return false;
    }
    DWORD error = ERROR_SUCCESS;
    std::wstring problem;
    trace.file = OpenDataFile(path, FILE_APPEND_DATA, FILE_SHARE_READ, error, &problem);
    if (!trace.file.IsOpen()) {
        if (error == kLinkRefusedError) {
            AppendLogEntry(
                status, (L"Couldn't start a trace to " + path + L": " + problem + L"\r\n").c_str());
        } else {
            AppendFailureEntry(status, L"Couldn't start a trace to " + path, error);
        }
        return false;
    }
    LARGE_INTEGER size{};
    trace.fileBytes = GetFileSizeEx(trace.file.Get(), &size) ? size.QuadPart : 0;
    WriterQueue<TraceRecord>& queue = trace.queue;
    queue.path = path;
    queue.limit = kTraceBufferLimit;
    queue.closeOnFailure = true;
    queue.write = WriteRecords;
    queue.lossNote = LossNote;
    queue.owner = &trace;
    queue.reportFailure = ReportFailure;
    queue.reportContext = &status;
    if (!StartWriter(queue, {EventRecord(L"Trace started")})) {
        AppendFailureEntry(status, L"Couldn't start a trace to " + path, GetLastError());
        trace.file.Reset();
        return false;
    }
    AppendLogEntry(status, (L"Tracing the bytes of each way to " + path + L"\r\n").c_str());
    return true;
}

void StopTrace(TraceWriter& trace) {
    const WriterStop stop = StopWriter(trace.queue, {EventRecord(L"Trace stopped")});
    // A write that hangs (a drive gone, a share that does not answer) is
    // left to its thread, with the file it writes; the window goes on.
    if (stop == WriterStop::LeftRunning) {
        return;
    }
    trace.file.Reset();
    if (stop == WriterStop::Stopped) {
        AppendLogEntry(*trace.status,
                       (L"The trace to " + trace.queue.path + L" stopped\r\n").c_str());
    }
}

bool IsTracing(TraceWriter& trace) {
    return trace.queue.open.load();
}

void TraceChunk(TraceWriter& trace, TraceDirection direction, const BYTE* bytes, DWORD count) {
    // While no trace runs the relay takes no lock for it.
    if (!trace.queue.open.load(std::memory_order_relaxed)) {
        return;
    }
    OfferToWriter(trace.queue, count, [&] {
        TraceRecord record{};
        GetLocalTime(&record.time);
        record.chunk = true;
        record.direction = direction;
        record.bytes.assign(bytes, bytes + count);
        return record;
    });
}

void TraceEvent(TraceWriter& trace, const std::wstring& text) {
    OfferToWriter(trace.queue, 0, [&] { return EventRecord(text); });
}
