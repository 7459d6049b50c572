#include "pipe/pipe_client.h"

#include <utility>

#include "common/event_log.h"
#include "common/handles.h"
#include "common/pipe_event_record.h"
#include "pipe/pipe_server.h"

decltype(&CreateFileW) OpenPipeFile = CreateFileW;

namespace {

void RecordPipeOpen(bool opened) {
    const PipeEventRecord record = MakePipeEventRecord(opened);
    ReportProgramEventData(record.type, record.category, record.eventId, record.rawData,
                           record.rawDataSize);
}

}  // namespace

bool RegisterPipeEventSource() {
    return RegisterProgramEventSource();
}

PipeOpenAttempt OpenPipeClient(const wchar_t* pipePath) {
    UniqueFile pipe(OpenPipeFile(pipePath, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 kPipeOpenFlags, nullptr));
    if (!pipe.IsOpen()) {
        const DWORD error = GetLastError();
        RecordPipeOpen(false);
        return {INVALID_HANDLE_VALUE, PipeOpenStep::NotOpened, error, {}};
    }
    // Before a byte passes: a pipe served by anyone but a virtual machine (or
    // an administrator) is let go again.
    PipeServerFacts server = ReadPipeServer(pipe.Get());
    if (!IsAcceptedPipeServer(server)) {
        RecordPipeOpen(false);
        return {INVALID_HANDLE_VALUE, PipeOpenStep::ServerRefused, ERROR_ACCESS_DENIED,
                std::move(server)};
    }
    RecordPipeOpen(true);
    // Byte mode, waiting: a read stays pending until the virtual machine
    // writes, a write until the pipe has room.
    DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
    if (!SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr)) {
        return {INVALID_HANDLE_VALUE, PipeOpenStep::ModeNotSet, GetLastError(), std::move(server)};
    }
    return {pipe.Release(), PipeOpenStep::Opened, ERROR_SUCCESS, std::move(server)};
}
