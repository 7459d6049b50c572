#include "relay/trace.h"

#include "common/log_file.h"
#include "common/secure_files.h"
#include "common/status_client.h"

namespace {

TraceTime TimeOf(const SYSTEMTIME& time) {
    return {time.wYear,   time.wMonth,  time.wDay,         time.wHour,
            time.wMinute, time.wSecond, time.wMilliseconds};
}

void Say(TraceWriter& trace, const std::wstring& text) {
    AppendLogEntry(*trace.status, text.c_str());
}

void SayFailure(TraceWriter& trace, const std::wstring& what, DWORD error) {
    AppendFailureEntry(*trace.status, what, error);
}

TraceRecord EventRecord(const std::wstring& text) {
    TraceRecord record{};
    GetLocalTime(&record.time);
    record.text = text;
    return record;
}

// Under the lock: the mark of what was dropped goes in before what follows.
void Queue(TraceWriter& trace, TraceRecord record) {
    if (trace.notTraced > 0) {
        trace.queued.push_back(
            EventRecord(std::to_wstring(trace.notTraced) + L" bytes not traced"));
        trace.notTraced = 0;
    }
    trace.queuedBytes += record.bytes.size();
    trace.queued.push_back(std::move(record));
}

// The file, rotated first when text would take it past its limit.
// ERROR_SUCCESS or why it cannot be written.
DWORD WriteToTraceFile(TraceWriter& trace, const std::string& text) {
    if (trace.fileBytes > 0 && trace.fileBytes + text.size() > kTraceFileLimitBytes) {
        trace.file.Reset();
        DWORD error = RotateDataFile(trace.path, kTraceFilesKept);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        trace.file = OpenDataFile(trace.path, FILE_APPEND_DATA, FILE_SHARE_READ, error);
        if (!trace.file.IsOpen()) {
            return error;
        }
        trace.fileBytes = 0;
    }
    DWORD written = 0;
    if (!WriteFile(trace.file.Get(), text.data(), static_cast<DWORD>(text.size()), &written,
                   nullptr) ||
        written != text.size()) {
        return GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
    }
    trace.fileBytes += written;
    return ERROR_SUCCESS;
}

DWORD WINAPI WriteTrace(LPVOID argument) {
    TraceWriter& trace = *static_cast<TraceWriter*>(argument);
    for (;;) {
        WaitForSingleObject(trace.ready.Get(), INFINITE);
        std::vector<TraceRecord> records;
        AcquireSRWLockExclusive(&trace.lock);
        records.swap(trace.queued);
        trace.queuedBytes = 0;
        if (trace.stopping && trace.notTraced > 0) {
            records.push_back(EventRecord(std::to_wstring(trace.notTraced) + L" bytes not traced"));
            trace.notTraced = 0;
        }
        const bool stopping = trace.stopping;
        ReleaseSRWLockExclusive(&trace.lock);
        std::string text;
        for (const TraceRecord& record : records) {
            text += record.chunk ? FormatTraceChunk(TimeOf(record.time), record.direction,
                                                    record.bytes.data(), record.bytes.size())
                                 : FormatTraceEvent(TimeOf(record.time), record.text);
        }
        if (const DWORD error = text.empty() ? ERROR_SUCCESS : WriteToTraceFile(trace, text);
            error != ERROR_SUCCESS) {
            // Disk full, file gone: the trace ends here, the relay goes on.
            AcquireSRWLockExclusive(&trace.lock);
            trace.active = false;
            trace.queued.clear();
            ReleaseSRWLockExclusive(&trace.lock);
            SayFailure(trace, L"The trace to " + trace.path + L" stopped: it could not be written",
                       error);
            return 0;
        }
        if (stopping) {
            return 0;
        }
    }
}

}  // namespace

bool StartTrace(TraceWriter& trace, StatusClient& status, const std::wstring& path) {
    StopTrace(trace);
    trace.status = &status;
    trace.path = path;
    // A relative path would land wherever the process happens to be (the
    // service's is System32).
    if (!IsAbsolutePath(path)) {
        Say(trace, L"Couldn't start a trace to " + path +
                       L": give the whole path of the file, beginning with its drive\r\n");
        return false;
    }
    DWORD error = ERROR_SUCCESS;
    std::wstring problem;
    trace.file = OpenDataFile(path, FILE_APPEND_DATA, FILE_SHARE_READ, error, &problem);
    if (!trace.file.IsOpen()) {
        if (error == kLinkRefusedError) {
            Say(trace, L"Couldn't start a trace to " + path + L": " + problem + L"\r\n");
        } else {
            SayFailure(trace, L"Couldn't start a trace to " + path, error);
        }
        return false;
    }
    LARGE_INTEGER size{};
    trace.fileBytes = GetFileSizeEx(trace.file.Get(), &size) ? size.QuadPart : 0;
    AcquireSRWLockExclusive(&trace.lock);
    trace.stopping = false;
    trace.notTraced = 0;
    trace.queued.clear();
    trace.queuedBytes = 0;
    trace.queued.push_back(EventRecord(L"Trace started"));
    trace.active = true;
    ReleaseSRWLockExclusive(&trace.lock);
    trace.writer = UniqueKernelHandle(CreateThread(nullptr, 0, WriteTrace, &trace, 0, nullptr));
    if (!trace.writer.IsOpen()) {
        AcquireSRWLockExclusive(&trace.lock);
        trace.active = false;
        ReleaseSRWLockExclusive(&trace.lock);
        trace.file.Reset();
        SayFailure(trace, L"Couldn't start a trace to " + path, GetLastError());
        return false;
    }
    SetEvent(trace.ready.Get());
    Say(trace, L"Tracing the bytes of each way to " + path + L"\r\n");
    return true;
}

void StopTrace(TraceWriter& trace) {
    if (!trace.writer.IsOpen()) {
        return;
    }
    AcquireSRWLockExclusive(&trace.lock);
    const bool wasActive = trace.active;
    if (wasActive) {
        trace.queued.push_back(EventRecord(L"Trace stopped"));
    }
    trace.active = false;
    trace.stopping = true;
    ReleaseSRWLockExclusive(&trace.lock);
    SetEvent(trace.ready.Get());
    if (!AwaitWriterThread(trace.writer.Get())) {
        // A write that hangs (a drive gone, a share that does not answer) is
        // left to its thread, with the file it writes; the window goes on.
        return;
    }
    trace.writer.Reset();
    trace.file.Reset();
    if (wasActive) {
        Say(trace, L"The trace to " + trace.path + L" stopped\r\n");
    }
}

bool IsTracing(TraceWriter& trace) {
    AcquireSRWLockShared(&trace.lock);
    const bool active = trace.active;
    ReleaseSRWLockShared(&trace.lock);
    return active;
}

void TraceChunk(TraceWriter& trace, TraceDirection direction, const BYTE* bytes, DWORD count) {
    // While no trace runs the relay takes no lock for it.
    if (!trace.active.load(std::memory_order_relaxed)) {
        return;
    }
    AcquireSRWLockExclusive(&trace.lock);
    const bool active = trace.active;
    if (active) {
        if (trace.queuedBytes + count > kTraceBufferLimit) {
            trace.notTraced += count;
        } else {
            TraceRecord record{};
            GetLocalTime(&record.time);
            record.chunk = true;
            record.direction = direction;
            record.bytes.assign(bytes, bytes + count);
            Queue(trace, std::move(record));
        }
    }
    ReleaseSRWLockExclusive(&trace.lock);
    if (active) {
        SetEvent(trace.ready.Get());
    }
}

void TraceEvent(TraceWriter& trace, const std::wstring& text) {
    AcquireSRWLockExclusive(&trace.lock);
    const bool active = trace.active;
    if (active) {
        Queue(trace, EventRecord(text));
    }
    ReleaseSRWLockExclusive(&trace.lock);
    if (active) {
        SetEvent(trace.ready.Get());
    }
}
