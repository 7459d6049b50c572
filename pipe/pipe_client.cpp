#include "pipe/pipe_client.h"

#include <cstdlib>

#include "config/settings_record.h"
#include "pipe/pipe_event_record.h"
#include "relay/message_log.h"
#include "ui/connection_failure_dialog.h"
#include "ui/message_box.h"
#include "ui/system_text.h"

EventLogCalls EventLog = {RegisterEventSourceW, ReportEventW};
decltype(&CreateFileW) OpenPipeFile = CreateFileW;

namespace {

HANDLE eventSource = nullptr;  // held until the process ends

void RecordPipeOpen(bool opened) {
    const PipeEventRecord record = MakePipeEventRecord(opened);
    EventLog.reportEvent(eventSource, record.type, record.category, record.eventId, nullptr, 0,
                         record.rawDataSize, nullptr, const_cast<void*>(record.rawData));
}

void ShowPipeError(DWORD error, const wchar_t* caption) {
    wchar_t text[1024];
    FormatSystemText(error, kNeutralLanguage, true, text, 1024);
    ShowMessageBox(nullptr, text, caption, MB_OK);
}

}  // namespace

bool RegisterPipeEventSource() {
    if (eventSource == nullptr) {
        eventSource = EventLog.registerSource(nullptr, kEventSourceName);
    }
    return eventSource != nullptr;
}

PipeOpenOutcome OpenVmPipe(const wchar_t* pipePath) {
    AppendLogEntry(L"Pipe found, creating connection...\n");
    const HANDLE pipe =
        OpenPipeFile(pipePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, kPipeOpenFlags, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        RecordPipeOpen(false);
        AppendLog(L" FAILED - did you create the named pipe connection for your VM?\r\n");
        return {INVALID_HANDLE_VALUE, error, L"Pipe failed"};
    }
    RecordPipeOpen(true);
    // Non-blocking byte mode: a read of an empty pipe fails at once with
    // ERROR_NO_DATA, which the relay takes as "nothing yet".
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        const DWORD error = GetLastError();
        CloseHandle(pipe);
        return {INVALID_HANDLE_VALUE, error, L"Could not set pipe parameters"};
    }
    AppendLogEntry(L"Connected to pipe\r\n");
    return {pipe, ERROR_SUCCESS, nullptr};
}

HANDLE ConnectPipe() {
    if (!RegisterPipeEventSource()) {
        std::exit(0);
    }
    for (;;) {
        AppendLogEntry(L"Waiting for Hyper-V pipe\r\n");
        // The whole UTF-16 path, read afresh each time: any name the settings
        // accept is found, and a name saved through Change configuration is
        // the one waited for next.
        if (WaitNamedPipeW(PortSettings.pipePath, 5000)) {
            break;
        }
        RunConnectionFailureDialog(FailureVariant::Pipe);
        SleepEx(5000, TRUE);
    }
    const PipeOpenOutcome outcome = OpenVmPipe(PortSettings.pipePath);
    if (outcome.pipe == INVALID_HANDLE_VALUE) {
        ShowPipeError(outcome.error, outcome.failureCaption);
    }
    return outcome.pipe;
}
