#include "relay/link_recovery.h"

#include <cwchar>
#include <utility>

#include "common/system_text.h"
#include "config/settings_store.h"
#include "pipe/pipe_client.h"
#include "relay/relay_pumps.h"
#include "serial/device_identity.h"
#include "serial/serial_port.h"

DWORD SerialRetryMs = kLinkRetryMs;

namespace {

bool Stopping(const RelayContextRecord& context) {
    return context.stopping.load(std::memory_order_acquire);
}

// Asks for a run of the keeper's work; the first ask submits it, and a run
// goes on while asks came during it, so that one runs at a time. It runs
// on the system's pool, since opening an end may block.
void KickKeeper(EndKeeper& keeper) {
    if (keeper.kicks.fetch_add(1) == 0) {
        SubmitRelayWork(*keeper.context, keeper.work);
    }
}

// INFINITE: only a kick tries again (tests).
void ArmKeeperTimer(EndKeeper& keeper, DWORD milliseconds) {
    keeper.timerFired.store(false);
    if (milliseconds != INFINITE) {
        ArmRelayTimer(*keeper.context, keeper.timer, milliseconds);
    }
}

// One try at the pipe; INVALID_HANDLE_VALUE when it is not there yet. A busy
// pipe is waited for a moment only, so that the pool is not held up long.
HANDLE TryPipe(RelayContextRecord& context, EndKeeper& keeper) {
    if (!WaitNamedPipeW(context.linkSettings.pipePath, kBusyPipeWaitMs)) {
        return INVALID_HANDLE_VALUE;
    }
    return OpenVmPipe(context.linkSettings.pipePath, context.status, &keeper.refused).pipe;
}

// Why the port does not open, once for each reason in a row: where it is
// missing, the ports there are; where the driver refuses the line, that.
void LogWhyNotOpened(RelayContextRecord& context, const SerialOpenOutcome& outcome, bool starting) {
    const LineSetupResult result = outcome.result;
    const wchar_t* name = context.linkSettings.serialPort;
    wchar_t text[400];
    if (const std::wstring missing = AdapterMissingText(context.linkSettings, outcome.choice);
        !missing.empty()) {
        AppendLogEntry(context.status, missing.c_str());
        ReportBridgeEvent(context.status, BridgeEvent::EndLost, missing.c_str());
        LogPortsPresent(context.status);
        return;
    }
    if (result == LineSetupResult::NotOpened) {
        if (starting) {
            std::swprintf(text, 400,
                          L"Couldn't open serial port %ls; trying again every 5 seconds\r\n", name);
            AppendLogEntry(context.status, text);
            ReportBridgeEvent(context.status, BridgeEvent::EndLost, text);
        }
        LogPortsPresent(context.status);
        return;
    }
    std::swprintf(text, 400, L"%ls of %ls; trying again every 5 seconds\r\n",
                  result == LineSetupResult::NotPurged
                      ? L"Couldn't purge the serial port data"
                      : L"Couldn't set the serial port configuration",
                  name);
    AppendLogEntry(context.status, text);
    ReportBridgeEvent(context.status, BridgeEvent::SettingsError, text);
}

// One try at the COM port; INVALID_HANDLE_VALUE when it does not open.
HANDLE TrySerial(RelayContextRecord& context, EndKeeper& keeper) {
    const SerialOpenOutcome outcome = OpenSerialLine(context.linkSettings);
    if (outcome.result == LineSetupResult::Done) {
        NoteAdapterOpened(context, context.linkSettings, outcome.choice);
        return outcome.port;
    }
    if (outcome.result != keeper.lastResult || outcome.choice.search != keeper.lastSearch) {
        LogWhyNotOpened(context, outcome, keeper.opening);
        keeper.lastResult = outcome.result;
        keeper.lastSearch = outcome.choice.search;
    }
    return INVALID_HANDLE_VALUE;
}

void LogLoss(RelayContextRecord& context, const EndKeeper& keeper) {
    if (keeper.side == LinkSide::Pipe) {
        constexpr wchar_t kLost[] =
            L"Lost the virtual machine's pipe; waiting for it to come back\r\n";
        AppendLogEntry(context.status, kLost);
        ReportBridgeEvent(context.status, BridgeEvent::EndLost, kLost);
        TraceEvent(context.trace, kLost);
        return;
    }
    wchar_t text[400];
    std::swprintf(text, 400, L"Serial port %ls lost, reopening it every 5 seconds: ",
                  context.linkSettings.serialPort);
    AppendLogEntry(context.status, text);
    wchar_t reason[1024];
    FormatSystemText(keeper.error.load(), kNeutralLanguage, true, reason, 1024, L"\r\n");
    AppendLog(context.status, reason);
    const std::wstring lost = std::wstring(text) + reason;
    ReportBridgeEvent(context.status, BridgeEvent::EndLost, lost.c_str());
    TraceEvent(context.trace, lost);
}

void LogReturn(RelayContextRecord& context, const EndKeeper& keeper, bool starting) {
    wchar_t text[400];
    if (keeper.side == LinkSide::Pipe) {
        std::swprintf(text, 400, L"Connected to the virtual machine's pipe %ls\r\n",
                      context.linkSettings.pipeName);
    } else {
        std::swprintf(text, 400,
                      starting ? L"Serial port %ls is open\r\n" : L"Serial port %ls is back\r\n",
                      context.linkSettings.serialPort);
        AppendLogEntry(context.status, text);
    }
    ReportBridgeEvent(context.status, BridgeEvent::EndBack, text);
    TraceEvent(context.trace, text);
}

// Tries the end once; when it opens, puts it in place and lets its reader go
// on; otherwise tries again after the retry time (the pipe's, or the COM
// port's, which an arriving adapter cuts short).
void TryToReopen(EndKeeper& keeper) {
    RelayContextRecord& context = *keeper.context;
    const bool pipe = keeper.side == LinkSide::Pipe;
    const HANDLE reopened = pipe ? TryPipe(context, keeper) : TrySerial(context, keeper);
    const DWORD retryMs = pipe ? kLinkRetryMs : SerialRetryMs;
    if (reopened == INVALID_HANDLE_VALUE) {
        ArmKeeperTimer(keeper, retryMs);
        return;
    }
    if (!AttachEnd(context, keeper.side, reopened)) {
        AppendFailureEntry(context.status, L"Couldn't hand the end to the relay's threads",
                           GetLastError());
        CloseHandle(reopened);
        ArmKeeperTimer(keeper, retryMs);
        return;
    }
    ReplaceLinkHandle(EndOf(context, keeper.side), reopened);
    if (!keeper.opening) {
        ++keeper.reconnects;
    }
    keeper.away.store(false);
    keeper.phase = EndKeeper::Phase::Watching;
    ResumePump(context, keeper.side);
    ShowLinkState(context);
    LogReturn(context, keeper, keeper.opening);
    LogDiscardedWhileAway(context, keeper.side);
}

// Takes the dead handle away and sets out to reopen the end: the pipe at
// once, the COM port at once only at the first opening.
void TakeAway(EndKeeper& keeper) {
    RelayContextRecord& context = *keeper.context;
    // At an unattended start the end was never open: nothing to take away
    // and nothing lost.
    if (!keeper.opening) {
        ReplaceLinkHandle(EndOf(context, keeper.side), INVALID_HANDLE_VALUE);
    }
    ShowLinkState(context);
    if (!keeper.opening) {
        LogLoss(context, keeper);
    }
    keeper.phase = EndKeeper::Phase::Reopening;
    keeper.refused.reset();
    keeper.lastResult = LineSetupResult::Done;
    keeper.lastSearch = AdapterSearch::Found;
    if (keeper.side == LinkSide::Pipe) {
        // One line for the whole wait, not one every 5 s.
        AppendLogEntry(context.status, L"Waiting for Hyper-V pipe\r\n");
        DiagnoseMissingPipe(context.pipeDiagnosis, context.status, context.linkSettings.pipePath,
                            context.stop.Get());
    } else if (!keeper.opening && !keeper.retryNow.exchange(false)) {
        ArmKeeperTimer(keeper, SerialRetryMs);
        return;
    }
    TryToReopen(keeper);
}

// One run of an end's keeper, for the life of the relay: on a report of the
// end's loss it takes the dead handle away and reopens the end every 5 s
// until it is back. Each step that waits leaves a timer or a kick to come
// back with; a blocking try is bounded (the pipe's wait to a second).
void KeeperStep(EndKeeper& keeper) {
    if (Stopping(*keeper.context)) {
        return;
    }
    switch (keeper.phase) {
        case EndKeeper::Phase::Watching:
            if (!keeper.reported.exchange(false)) {
                return;
            }
            keeper.opening = keeper.starting.exchange(false);
            if (!keeper.opening && !keeper.byReader.load()) {
                // A loss noticed by the writing pump: a reader that is not
                // itself held up meets the failure within a few
                // milliseconds and logs it as its own, as when it notices
                // first. A reader held up on the other end is not waited for.
                keeper.phase = EndKeeper::Phase::Grace;
                ArmKeeperTimer(keeper, kReaderGraceMs);
                return;
            }
            TakeAway(keeper);
            return;
        case EndKeeper::Phase::Grace:
            if (keeper.timerFired.exchange(false)) {
                TakeAway(keeper);
            }
            return;
        case EndKeeper::Phase::Reopening:
            if (keeper.timerFired.exchange(false) | keeper.retryNow.exchange(false)) {
                TryToReopen(keeper);
            }
            return;
    }
}

void RunKeeper(PoolTask& task) {
    EndKeeper& keeper = *static_cast<EndKeeper*>(task.owner);
    RelayContextRecord& context = *keeper.context;
    for (int kicks = keeper.kicks.load();;) {
        KeeperStep(keeper);
        const int left = keeper.kicks.fetch_sub(kicks) - kicks;
        if (left == 0) {
            break;
        }
        kicks = left;
    }
    ReleaseRelay(context);
}

void FireKeeperTimer(PoolTimer& timer) {
    EndKeeper& keeper = *static_cast<EndKeeper*>(timer.owner);
    RelayContextRecord& context = *keeper.context;
    keeper.timerFired.store(true);
    KickKeeper(keeper);
    ReleaseRelay(context);
}

// On a system thread: an adapter that arrives is tried at once by a keeper
// that waits for its port; the removal of the open port's adapter is its loss.
void OnPortPlug(void* opaque, bool arrived, const std::wstring& instanceId) {
    RelayContextRecord& context = *static_cast<RelayContextRecord*>(opaque);
    if (arrived) {
        context.serialKeeper.retryNow.store(true);
        KickKeeper(context.serialKeeper);
        return;
    }
    AcquireSRWLockShared(&context.adapterLock);
    const bool ours = !instanceId.empty() && !context.adapterInstanceId.empty() &&
                      UpperCase(instanceId) == UpperCase(context.adapterInstanceId);
    ReleaseSRWLockShared(&context.adapterLock);
    if (ours) {
        ReportEndLost(context, LinkSide::Serial,
                      {context.serial.handle.load(), context.serial.openings.load()},
                      ERROR_DEVICE_NOT_CONNECTED, true);
    }
}

}  // namespace

std::wstring AdapterMissingText(const PortSettingsRecord& settings, const PortChoice& choice) {
    wchar_t text[800];
    if (!choice.deviceProblem.empty()) {
        std::swprintf(text, 800,
                      L"The Device value \"%ls\" is not understood (%ls); opening %ls\r\n",
                      settings.device, choice.deviceProblem.c_str(), settings.serialPort);
    } else if (choice.followed && choice.search == AdapterSearch::Missing) {
        std::swprintf(text, 800,
                      L"The adapter %ls is not plugged in; trying again when it is, and every 5 "
                      L"seconds\r\n",
                      settings.device);
    } else if (choice.followed && choice.search == AdapterSearch::Ambiguous) {
        std::swprintf(text, 800,
                      L"More than one adapter is %ls; none is opened. Name one by its instance "
                      L"ID in Device (--list-ports shows them)\r\n",
                      settings.device);
    } else {
        return {};
    }
    return text;
}

void NoteAdapterOpened(RelayContextRecord& context, PortSettingsRecord& settings,
                       const PortChoice& choice) {
    AcquireSRWLockExclusive(&context.adapterLock);
    context.adapterInstanceId = choice.device.instanceId;
    ReleaseSRWLockExclusive(&context.adapterLock);
    if (!choice.deviceProblem.empty()) {
        AppendLogEntry(context.status, AdapterMissingText(settings, choice).c_str());
    }
    const AdapterIdentity identity = IdentifyAdapter(choice.device);
    const std::wstring label = AdapterLabel(identity);
    wchar_t text[800];
    if (choice.followed && UpperCase(choice.portName) != UpperCase(settings.serialPort)) {
        std::swprintf(text, 800, L"The adapter %ls is now %ls\r\n", label.c_str(),
                      choice.portName.c_str());
        AppendLogEntry(context.status, text);
        SetSerialPortName(settings, choice.portName.c_str());
        // For display and for earlier releases, which know only "Serial port".
        if (const LONG status = WriteStoredPortName(context.store, choice.portName.c_str());
            status != ERROR_SUCCESS) {
            AppendFailureEntry(context.status, L"Couldn't save the new COM name in Serial port",
                               static_cast<DWORD>(status));
        }
        ShowSerialPort(context.status, choice.portName.c_str());
    }
    if (choice.followed && choice.byLocation && !context.notedLocation) {
        context.notedLocation = true;
        std::swprintf(text, 800,
                      L"The adapter %ls has no serial number: it is found by the USB socket it is "
                      L"in, and moving it to another socket breaks the match\r\n",
                      label.c_str());
        AppendLogEntry(context.status, text);
    }
    // Only FTDI's driver keeps a latency timer; its default is 16 ms.
    if (choice.device.latencyTimerMs > kLowLatencyTimerMs && !context.notedLatency) {
        context.notedLatency = true;
        std::swprintf(text, 800,
                      L"Bytes from the device wait up to %lu ms in the adapter %ls before they are "
                      L"passed on (its latency timer). To lower it: Device Manager > Ports > %ls > "
                      L"Properties > Port Settings > Advanced > Latency Timer\r\n",
                      choice.device.latencyTimerMs, label.c_str(),
                      choice.device.friendlyName.empty() ? choice.portName.c_str()
                                                         : choice.device.friendlyName.c_str());
        AppendLogEntry(context.status, text);
    }
}

void LogPortsPresent(StatusClient& status) {
    AppendLogEntry(status, PortsPresentText(ListComPorts()).c_str());
}

bool StartLinkKeepers(RelayContextRecord& context) {
    if (!JoinRelayPool(context)) {
        return false;
    }
    context.pipeKeeper.side = LinkSide::Pipe;
    context.serialKeeper.side = LinkSide::Serial;
    for (EndKeeper* keeper : {&context.pipeKeeper, &context.serialKeeper}) {
        keeper->work = {{}, RunKeeper, keeper};
        keeper->timer = {FireKeeperTimer, keeper, ShardOf(context, keeper->side)};
        // Reports reach a keeper only from here on.
        keeper->context = &context;
    }
    // Without plug events the 5-s retry finds an adapter all the same.
    context.plugWatch.Start(OnPortPlug, &context);
    return true;
}

void OpenEndsUnattended(RelayContextRecord& context) {
    for (EndKeeper* keeper : {&context.serialKeeper, &context.pipeKeeper}) {
        keeper->starting.store(true);
        keeper->away.store(true);
        keeper->reported.store(true);
        if (keeper->context != nullptr) {
            KickKeeper(*keeper);
        }
    }
}

void ReportEndLost(RelayContextRecord& context, LinkSide side, const EndInUse& lost, DWORD error,
                   bool byReader) {
    EndKeeper& keeper = KeeperOf(context, side);
    const LinkEnd& end = side == LinkSide::Pipe ? context.pipe : context.serial;
    if (keeper.context == nullptr || !IsOpenHandle(lost.handle) ||
        end.handle.load() != lost.handle || end.openings.load() != lost.opening) {
        return;
    }
    if (keeper.away.exchange(true)) {
        return;
    }
    keeper.error.store(error);
    keeper.byReader.store(byReader);
    keeper.reported.store(true);
    KickKeeper(keeper);
}

bool IsPipeGone(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_NO_DATA || error == ERROR_INVALID_HANDLE;
}

bool IsEndAway(const RelayContextRecord& context, LinkSide side) {
    return KeeperOf(context, side).away.load();
}

void NoteDiscardedWhileAway(RelayContextRecord& context, LinkSide side, DWORD count) {
    EndKeeper& keeper = KeeperOf(context, side);
    keeper.discarded.fetch_add(count);
    NoteDiscarded(context.ledger,
                  side == LinkSide::Pipe ? RelayDirection::FromPort : RelayDirection::FromPipe,
                  DiscardReason::EndAway, count);
    // A chunk whose write met the end away can be counted after its keeper
    // brought the end back and said what was discarded meanwhile (it clears
    // away first): said now, not at the next loss or the stop.
    if (keeper.context != nullptr && !keeper.away.load()) {
        LogDiscardedWhileAway(context, side);
    }
}

void LogDiscardedWhileAway(RelayContextRecord& context, LinkSide side) {
    // Bytes for an end that is away are for the other end's reader: from the
    // COM port when the pipe is away.
    if (const std::uint32_t count = KeeperOf(context, side).discarded.exchange(0); count != 0) {
        AppendLogEntry(context.status,
                       DiscardedText(side == LinkSide::Pipe ? RelayDirection::FromPort
                                                            : RelayDirection::FromPipe,
                                     DiscardReason::EndAway, count)
                           .c_str());
    }
}

void ShowLinkState(RelayContextRecord& context) {
    AcquireSRWLockExclusive(&context.statusLineLock);
    if (context.pipeKeeper.away.load()) {
        SetStatusLine(context.status, L"Looking for pipe server");
    } else if (context.serialKeeper.away.load()) {
        SetStatusLine(context.status, L"Serial port lost, reopening it");
    } else {
        SetStatusLine(context.status, L"Connected");
    }
    const bool connected = !context.pipeKeeper.away.load() && !context.serialKeeper.away.load();
    if (!connected) {
        context.connectedSince.store(0);
    } else if (context.connectedSince.load() == 0) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        context.connectedSince.store(
            ULARGE_INTEGER{{now.dwLowDateTime, now.dwHighDateTime}}.QuadPart);
    }
    ReleaseSRWLockExclusive(&context.statusLineLock);
}

PipeOpenOutcome OpenVmPipe(const wchar_t* pipePath, StatusClient& status,
                           std::optional<PipeServerFacts>* lastRefused) {
    const bool refusing = lastRefused != nullptr && lastRefused->has_value();
    if (!refusing) {
        AppendLogEntry(status, L"Pipe found, creating connection...\n");
    }
    PipeOpenAttempt attempt = OpenPipeClient(pipePath);
    switch (attempt.step) {
        case PipeOpenStep::Opened:
            if (refusing) {
                AppendLogEntry(status, L"Pipe found, creating connection...\n");
            }
            AppendLogEntry(status, L"Connected to pipe\r\n");
            return {attempt.pipe, ERROR_SUCCESS, nullptr, false};
        case PipeOpenStep::NotOpened:
            if (!refusing) {
                AppendLog(status,
                          L" FAILED - did you create the named pipe connection for your VM?\r\n");
            }
            return {INVALID_HANDLE_VALUE, attempt.error, L"Pipe failed", false};
        case PipeOpenStep::ServerRefused:
            if (lastRefused == nullptr || !IsSameServer(attempt.server, *lastRefused)) {
                AppendLogEntry(status, PipeServerRefusalText(pipePath, attempt.server).c_str());
            }
            if (lastRefused != nullptr) {
                *lastRefused = std::move(attempt.server);
            }
            return {INVALID_HANDLE_VALUE, attempt.error, nullptr, true};
        case PipeOpenStep::ModeNotSet:
            break;
    }
    return {INVALID_HANDLE_VALUE, attempt.error, L"Could not set pipe parameters", false};
}
