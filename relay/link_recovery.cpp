#include "relay/link_recovery.h"

#include <atomic>
#include <cwchar>

#include "pipe/pipe_client.h"
#include "relay/message_log.h"
#include "serial/serial_port.h"
#include "ui/status_window.h"
#include "ui/system_text.h"

PortSettingsRecord LinkSettings;

namespace {

// One per end; all of it lives until the process ends.
struct EndKeeper {
    LinkEnd* end;
    HANDLE wake;                           // set when the end is reported lost
    std::atomic<bool> away;                // from the report until the end is back
    std::atomic<DWORD> error;              // what the report said
    std::atomic<bool> byReader;            // whether the end's own reader reported it
    std::atomic<std::uint32_t> discarded;  // bytes for this end dropped meanwhile
};

EndKeeper pipeKeeper;
EndKeeper serialKeeper;

// Both keepers set the status line; the lock keeps the last text the one
// that matches the state. The window thread never takes it.
SRWLOCK statusLineLock = SRWLOCK_INIT;

EndKeeper& KeeperOf(LinkSide side) {
    return side == LinkSide::Pipe ? pipeKeeper : serialKeeper;
}

void LogDiscarded(EndKeeper& keeper, const wchar_t* what) {
    wchar_t text[200];
    std::swprintf(text, 200, L"%lu %ls\r\n",
                  static_cast<unsigned long>(keeper.discarded.exchange(0)), what);
    AppendLogEntry(text);
}

// A loss noticed by the writing thread: a reader that is not itself held up
// meets the failure within a few milliseconds and logs it as its own, as
// when it notices first. A reader held up on the other end is not waited for.
void GiveTheReaderItsTurn(const EndKeeper& keeper) {
    if (!keeper.byReader.load()) {
        Sleep(kReaderGraceMs);
    }
}

HANDLE ReopenPipe() {
    // One line for the whole wait, not one every 5 s.
    AppendLogEntry(L"Waiting for Hyper-V pipe\r\n");
    for (;;) {
        if (!WaitNamedPipeW(LinkSettings.pipePath, kLinkRetryMs)) {
            // An absent pipe fails at once; a busy one has waited already.
            if (GetLastError() != ERROR_SEM_TIMEOUT) {
                Sleep(kLinkRetryMs);
            }
            continue;
        }
        const PipeOpenOutcome outcome = OpenVmPipe(LinkSettings.pipePath);
        if (outcome.pipe != INVALID_HANDLE_VALUE) {
            return outcome.pipe;
        }
        Sleep(kLinkRetryMs);
    }
}

HANDLE ReopenSerial() {
    for (;;) {
        Sleep(kLinkRetryMs);
        const HANDLE port = OpenPortDevice(LinkSettings.serialPort);
        if (port == INVALID_HANDLE_VALUE) {
            continue;
        }
        if (SetUpSerialLine(port, LinkSettings) == LineSetupResult::Done) {
            return port;
        }
        CloseHandle(port);
    }
}

DWORD WINAPI KeepPipe(LPVOID) {
    for (;;) {
        WaitForSingleObject(pipeKeeper.wake, INFINITE);
        GiveTheReaderItsTurn(pipeKeeper);
        ReplaceLinkHandle(*pipeKeeper.end, INVALID_HANDLE_VALUE);
        ShowLinkState();
        AppendLogEntry(L"Lost the virtual machine's pipe; waiting for it to come back\r\n");
        const HANDLE pipe = ReopenPipe();
        ReplaceLinkHandle(*pipeKeeper.end, pipe);
        pipeKeeper.away.store(false);
        ShowLinkState();
        LogDiscarded(pipeKeeper,
                     L"bytes from the serial port were discarded while the pipe was away");
    }
}

DWORD WINAPI KeepSerial(LPVOID) {
    for (;;) {
        WaitForSingleObject(serialKeeper.wake, INFINITE);
        GiveTheReaderItsTurn(serialKeeper);
        ReplaceLinkHandle(*serialKeeper.end, INVALID_HANDLE_VALUE);
        ShowLinkState();
        wchar_t text[400];
        std::swprintf(text, 400, L"Serial port %ls lost, reopening it every 5 seconds: ",
                      LinkSettings.serialPort);
        AppendLogEntry(text);
        wchar_t reason[1024];
        FormatSystemText(serialKeeper.error.load(), kNeutralLanguage, true, reason, 1024, L"\r\n");
        AppendLog(reason);
        const HANDLE port = ReopenSerial();
        ReplaceLinkHandle(*serialKeeper.end, port);
        serialKeeper.away.store(false);
        ShowLinkState();
        std::swprintf(text, 400, L"Serial port %ls is back\r\n", LinkSettings.serialPort);
        AppendLogEntry(text);
        LogDiscarded(serialKeeper,
                     L"bytes from the pipe were discarded while the serial port was away");
    }
}

}  // namespace

void RememberLinkSettings() {
    LinkSettings = PortSettings;
}

bool StartLinkKeepers(RelayContextRecord& context) {
    pipeKeeper.end = &context.pipe;
    serialKeeper.end = &context.serial;
    pipeKeeper.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    serialKeeper.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (pipeKeeper.wake == nullptr || serialKeeper.wake == nullptr) {
        return false;
    }
    const HANDLE pipeThread = CreateThread(nullptr, 0, KeepPipe, nullptr, 0, nullptr);
    const HANDLE serialThread = CreateThread(nullptr, 0, KeepSerial, nullptr, 0, nullptr);
    for (const HANDLE thread : {pipeThread, serialThread}) {
        if (thread != nullptr) {
            CloseHandle(thread);
        }
    }
    return pipeThread != nullptr && serialThread != nullptr;
}

void ReportEndLost(LinkSide side, HANDLE handle, DWORD error, bool byReader) {
    EndKeeper& keeper = KeeperOf(side);
    if (keeper.wake == nullptr || keeper.end->handle.load() != handle) {
        return;
    }
    if (keeper.away.exchange(true)) {
        return;
    }
    keeper.error.store(error);
    keeper.byReader.store(byReader);
    // Bytes for this end from here on have nowhere to go.
    keeper.discarded.store(0);
    SetEvent(keeper.wake);
}

bool IsPipeGone(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_NO_DATA || error == ERROR_INVALID_HANDLE;
}

bool IsEndAway(LinkSide side) {
    return KeeperOf(side).away.load();
}

void NoteDiscardedWhilePipeAway(DWORD count) {
    pipeKeeper.discarded.fetch_add(count);
}

void NoteDiscardedWhileSerialAway(DWORD count) {
    serialKeeper.discarded.fetch_add(count);
}

void ShowLinkState() {
    AcquireSRWLockExclusive(&statusLineLock);
    if (pipeKeeper.away.load()) {
        SetStatusLine(L"Looking for pipe server");
    } else if (serialKeeper.away.load()) {
        SetStatusLine(L"Serial port lost, reopening it");
    } else {
        SetStatusLine(L"Connected");
    }
    ReleaseSRWLockExclusive(&statusLineLock);
}
