#include "relay/link_recovery.h"

#include <cwchar>
#include <utility>

#include "common/system_text.h"
#include "config/settings_store.h"
#include "pipe/pipe_client.h"
#include "serial/device_identity.h"
#include "serial/serial_port.h"

DWORD SerialRetryMs = kLinkRetryMs;

namespace {

EndKeeper& KeeperOf(RelayContextRecord& context, LinkSide side) {
    return side == LinkSide::Pipe ? context.pipeKeeper : context.serialKeeper;
}

// True when the relay is being stopped; otherwise after milliseconds.
bool StoppedWithin(const RelayContextRecord& context, DWORD milliseconds) {
    return WaitForSingleObject(context.stop.Get(), milliseconds) == WAIT_OBJECT_0;
}

// A loss noticed by the writing thread: a reader that is not itself held up
// meets the failure within a few milliseconds and logs it as its own, as
// when it notices first. A reader held up on the other end is not waited for.
void GiveTheReaderItsTurn(const RelayContextRecord& context, const EndKeeper& keeper) {
    if (!keeper.byReader.load()) {
        StoppedWithin(context, kReaderGraceMs);
    }
}

// INVALID_HANDLE_VALUE when the relay is stopped meanwhile. The first try
// comes at once.
HANDLE ReopenPipe(RelayContextRecord& context) {
    // One line for the whole wait, not one every 5 s.
    AppendLogEntry(context.status, L"Waiting for Hyper-V pipe\r\n");
    DiagnoseMissingPipe(context.pipeDiagnosis, context.status, context.linkSettings.pipePath,
                        context.stop.Get());
    std::optional<PipeServerFacts> refused;  // one entry per server that is not a VM
    for (;;) {
        // A busy pipe is waited for a moment only, so that a stop is not held up.
        if (WaitNamedPipeW(context.linkSettings.pipePath, kBusyPipeWaitMs)) {
            const PipeOpenOutcome outcome =
                OpenVmPipe(context.linkSettings.pipePath, context.status, &refused);
            if (outcome.pipe != INVALID_HANDLE_VALUE) {
                return outcome.pipe;
            }
        }
        if (StoppedWithin(context, kLinkRetryMs)) {
            return INVALID_HANDLE_VALUE;
        }
    }
}

// True when the relay is being stopped; otherwise after the retry time or as
// soon as an adapter arrives.
bool StoppedBeforeRetry(const RelayContextRecord& context) {
    const HANDLE stopOrPlugged[] = {context.stop.Get(), context.serialKeeper.retry.Get()};
    return WaitForMultipleObjects(2, stopOrPlugged, FALSE, SerialRetryMs) == WAIT_OBJECT_0;
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

// At start the first try comes at once, after a loss 5 s later.
HANDLE ReopenSerial(RelayContextRecord& context, bool starting) {
    LineSetupResult reported = LineSetupResult::Done;
    AdapterSearch searched = AdapterSearch::Found;
    for (bool first = starting;; first = false) {
        if (!first && StoppedBeforeRetry(context)) {
            return INVALID_HANDLE_VALUE;
        }
        const SerialOpenOutcome outcome = OpenSerialLine(context.linkSettings);
        if (outcome.result == LineSetupResult::Done) {
            NoteAdapterOpened(context, context.linkSettings, outcome.choice);
            return outcome.port;
        }
        if (outcome.result != reported || outcome.choice.search != searched) {
            LogWhyNotOpened(context, outcome, starting);
            reported = outcome.result;
            searched = outcome.choice.search;
        }
    }
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

// One per end, for the life of the relay: waits for a report of the end's
// loss, takes the dead handle away and reopens the end every 5 s until it
// is back.
DWORD KeepEnd(EndKeeper& keeper) {
    RelayContextRecord& context = *keeper.context;
    const bool pipe = keeper.side == LinkSide::Pipe;
    LinkEnd& end = pipe ? context.pipe : context.serial;
    const HANDLE wakeOrStop[] = {keeper.wake.Get(), context.stop.Get()};
    while (WaitForMultipleObjects(2, wakeOrStop, FALSE, INFINITE) == WAIT_OBJECT_0) {
        // At an unattended start the end was never open: nothing to take
        // away and nothing lost.
        const bool starting = keeper.starting.exchange(false);
        if (!starting) {
            GiveTheReaderItsTurn(context, keeper);
            ReplaceLinkHandle(end, INVALID_HANDLE_VALUE);
        }
        ShowLinkState(context);
        if (!starting) {
            LogLoss(context, keeper);
        }
        const HANDLE reopened = pipe ? ReopenPipe(context) : ReopenSerial(context, starting);
        if (reopened == INVALID_HANDLE_VALUE) {
            break;
        }
        ReplaceLinkHandle(end, reopened);
        if (!starting) {
            ++keeper.reconnects;
        }
        keeper.away.store(false);
        SetEvent(keeper.back.Get());
        ShowLinkState(context);
        LogReturn(context, keeper, starting);
        LogDiscardedWhileAway(context, keeper.side);
    }
    return 0;
}

DWORD WINAPI KeepPipe(LPVOID context) {
    return KeepEnd(static_cast<RelayContextRecord*>(context)->pipeKeeper);
}

DWORD WINAPI KeepSerial(LPVOID context) {
    return KeepEnd(static_cast<RelayContextRecord*>(context)->serialKeeper);
}

// On a system thread: an adapter that arrives is tried at once by a keeper
// that waits for its port; the removal of the open port's adapter is its loss.
void OnPortPlug(void* opaque, bool arrived, const std::wstring& instanceId) {
    RelayContextRecord& context = *static_cast<RelayContextRecord*>(opaque);
    if (arrived) {
        SetEvent(context.serialKeeper.retry.Get());
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
    context.pipeKeeper.side = LinkSide::Pipe;
    context.serialKeeper.side = LinkSide::Serial;
    bool started = true;
    for (EndKeeper* keeper : {&context.pipeKeeper, &context.serialKeeper}) {
        // Reports reach a keeper only while it runs.
        keeper->context = &context;
        if (!keeper->wake.IsOpen() || !keeper->back.IsOpen() || !keeper->retry.IsOpen() ||
            !StartRelayThread(context, keeper == &context.pipeKeeper ? KeepPipe : KeepSerial)) {
            keeper->context = nullptr;
            started = false;
        }
    }
    // Without plug events the 5-s retry finds an adapter all the same.
    if (context.serialKeeper.context != nullptr) {
        context.plugWatch.Start(OnPortPlug, &context);
    }
    return started;
}

void OpenEndsUnattended(RelayContextRecord& context) {
    for (EndKeeper* keeper : {&context.serialKeeper, &context.pipeKeeper}) {
        keeper->starting.store(true);
        keeper->away.store(true);
        SetEvent(keeper->wake.Get());
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
    SetEvent(keeper.wake.Get());
}

bool WaitForEndBack(RelayContextRecord& context, LinkSide side) {
    EndKeeper& keeper = KeeperOf(context, side);
    const LinkEnd& end = side == LinkSide::Pipe ? context.pipe : context.serial;
    const HANDLE stopOrBack[] = {context.stop.Get(), keeper.back.Get()};
    // Without its keeper a lost end stays lost: only the stop is left to wait for.
    const DWORD waitCount = keeper.context != nullptr ? 2 : 1;
    while (keeper.context == nullptr || keeper.away.load() || !IsOpenHandle(end.handle.load())) {
        if (WaitForMultipleObjects(waitCount, stopOrBack, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
            return false;
        }
    }
    return true;
}

bool IsPipeGone(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_NO_DATA || error == ERROR_INVALID_HANDLE;
}

bool IsEndAway(const RelayContextRecord& context, LinkSide side) {
    return (side == LinkSide::Pipe ? context.pipeKeeper : context.serialKeeper).away.load();
}

void NoteDiscardedWhileAway(RelayContextRecord& context, LinkSide side, DWORD count) {
    KeeperOf(context, side).discarded.fetch_add(count);
    NoteDiscarded(context.ledger,
                  side == LinkSide::Pipe ? RelayDirection::FromPort : RelayDirection::FromPipe,
                  DiscardReason::EndAway, count);
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
