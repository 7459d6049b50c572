#include "pipe/pipe_client.h"

#include "common/handles.h"
#include "pipe/pipe_event_record.h"

EventLogCalls EventLog = {RegisterEventSourceW, ReportEventW};
decltype(&CreateFileW) OpenPipeFile = CreateFileW;

namespace {

HANDLE eventSource = nullptr;  // held until the process ends

void RecordPipeOpen(bool opened) {
    const PipeEventRecord record = MakePipeEventRecord(opened);
    EventLog.reportEvent(eventSource, record.type, record.category, record.eventId, nullptr, 0,
                         record.rawDataSize, nullptr, const_cast<void*>(record.rawData));
}

}  // namespace

bool RegisterPipeEventSource() {
    if (eventSource == nullptr) {
        eventSource = EventLog.registerSource(nullptr, kEventSourceName);
    }
    return eventSource != nullptr;
}

PipeOpenAttempt OpenPipeClient(const wchar_t* pipePath) {
    UniqueFile pipe(OpenPipeFile(pipePath, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 kPipeOpenFlags, nullptr));
    if (!pipe.IsOpen()) {
        const DWORD error = GetLastError();
        RecordPipeOpen(false);
        return {INVALID_HANDLE_VALUE, PipeOpenStep::NotOpened, error};
    }
    RecordPipeOpen(true);
    // Byte mode, waiting: a read stays pending until the virtual machine
    // writes, a write until the pipe has room.
    DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
    if (!SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr)) {
        return {INVALID_HANDLE_VALUE, PipeOpenStep::ModeNotSet, GetLastError()};
    }
    return {pipe.Release(), PipeOpenStep::Opened, ERROR_SUCCESS};
}
