#include "relay/link_recovery.h"

#include <atomic>
#include <cwchar>

#include "pipe/pipe_client.h"
#include "relay/message_log.h"
#include "serial/serial_port.h"
#include "ui/system_text.h"
#include "ui/status_window.h"

PortSettingsRecord LinkSettings;

namespace {

std::atomic<bool> pipeAway{false};
std::atomic<bool> serialAway{false};
std::atomic<std::uint32_t> discardedWhilePipeAway{0};
std::atomic<std::uint32_t> discardedWhileSerialAway{0};
// Both relay threads set the status line; the lock keeps the last text the
// one that matches the state. The window thread never takes it.
SRWLOCK statusLineLock = SRWLOCK_INIT;

void LogDiscarded(std::atomic<std::uint32_t>& counter, const wchar_t* what) {
    wchar_t text[200];
    std::swprintf(text, 200, L"%lu %ls\r\n",
                  static_cast<unsigned long>(counter.exchange(0, std::memory_order_relaxed)), what);
    AppendLogEntry(text);
}

}  // namespace

void RememberLinkSettings() {
    LinkSettings = PortSettings;
}

void ShowLinkState() {
    AcquireSRWLockExclusive(&statusLineLock);
    if (pipeAway.load()) {
        SetStatusLine(L"Looking for pipe server");
    } else if (serialAway.load()) {
        SetStatusLine(L"Serial port lost, reopening it");
    } else {
        SetStatusLine(L"Connected");
    }
    ReleaseSRWLockExclusive(&statusLineLock);
}

void NoteDiscardedWhilePipeAway(DWORD count) {
    discardedWhilePipeAway.fetch_add(count, std::memory_order_relaxed);
}

void NoteDiscardedWhileSerialAway(DWORD count) {
    discardedWhileSerialAway.fetch_add(count, std::memory_order_relaxed);
}

void RecoverPipe(RelayContextRecord& context) {
    pipeAway.store(true);
    ReplaceLinkHandle(context.pipe, INVALID_HANDLE_VALUE);
    // Bytes from the device from here on have nowhere to go.
    discardedWhilePipeAway.store(0, std::memory_order_relaxed);
    ShowLinkState();
    AppendLogEntry(L"Lost the virtual machine's pipe; waiting for it to come back\r\n");

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
        if (outcome.pipe == INVALID_HANDLE_VALUE) {
            Sleep(kLinkRetryMs);
            continue;
        }
        ReplaceLinkHandle(context.pipe, outcome.pipe);
        pipeAway.store(false);
        ShowLinkState();
        LogDiscarded(discardedWhilePipeAway,
                     L"bytes from the serial port were discarded while the pipe was away");
        return;
    }
}

void RecoverSerial(RelayContextRecord& context, DWORD error) {
    serialAway.store(true);
    ReplaceLinkHandle(context.serial, INVALID_HANDLE_VALUE);
    discardedWhileSerialAway.store(0, std::memory_order_relaxed);
    ShowLinkState();
    wchar_t text[400];
    std::swprintf(text, 400, L"Serial port %ls lost, reopening it every 5 seconds: ",
                  LinkSettings.serialPort);
    AppendLogEntry(text);
    wchar_t reason[1024];
    FormatSystemText(error, kNeutralLanguage, true, reason, 1024, L"\r\n");
    AppendLog(reason);

    for (;;) {
        Sleep(kLinkRetryMs);
        const HANDLE port = OpenPortDevice(LinkSettings.serialPort);
        if (port == INVALID_HANDLE_VALUE) {
            continue;
        }
        if (SetUpSerialLine(port, LinkSettings) != LineSetupResult::Done) {
            CloseHandle(port);
            continue;
        }
        ReplaceLinkHandle(context.serial, port);
        serialAway.store(false);
        ShowLinkState();
        std::swprintf(text, 400, L"Serial port %ls is back\r\n", LinkSettings.serialPort);
        AppendLogEntry(text);
        LogDiscarded(discardedWhileSerialAway,
                     L"bytes from the pipe were discarded while the serial port was away");
        return;
    }
}
