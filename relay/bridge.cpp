#include "relay/bridge.h"

#include <algorithm>

#include "common/secure_files.h"
#include "config/settings_tables.h"
#include "pipe/pipe_client.h"
#include "relay/link_recovery.h"
#include "relay/relay_pumps.h"
#include "serial/serial_port.h"

Bridge::Bridge(const std::wstring& bridgeName)
    : name(bridgeName),
      eventName(bridgeName.empty() ? L"Vantrel" : bridgeName),
      store(BridgeStore(bridgeName)) {
    ApplyDefaultSettings(PortSettings);
}

namespace {

BridgeOutcome Failed(Bridge& bridge, BridgeResult result, const std::wstring& text) {
    // Each problem once, until another takes its place.
    if (text != bridge.problem) {
        LogSettingsProblem(bridge, text);
        bridge.problem = text;
    }
    return {result, text};
}

// The bridge's store; a problem (logged) when it cannot be read.
BridgeOutcome ReadBridgeStore(Bridge& bridge, PortSettingsRecord& settings, bool& fromHardware,
                              std::wstring& image) {
    ApplyDefaultSettings(settings);
    const StoreReadOutcome outcome = ReadSettingsStore(settings, bridge.store);
    if (!outcome.read) {
        const std::wstring text =
            std::wstring(L"Couldn't read the settings: ") +
            (outcome.failedValue != nullptr ? outcome.failedValue->loadFailureText
                                            : L"there are none");
        if (text != bridge.problem && text != bridge.unconfirmed) {
            bridge.unconfirmed = text;
            return {BridgeResult::SettingsUnreadable, text};
        }
        bridge.unconfirmed.clear();
        return Failed(bridge, BridgeResult::SettingsUnreadable, text);
    }
    bridge.unconfirmed.clear();
    fromHardware = outcome.initFromHardware;
    image = StoredImage(settings, fromHardware, ReadStoredText(bridge.store, kTraceFileValue));
    return {BridgeResult::Done, {}};
}

}  // namespace

void LogSettingsProblem(Bridge& bridge, const std::wstring& text) {
    AppendLogEntry(bridge.status, (text + L"\r\n").c_str());
    ReportBridgeEvent(bridge.status, BridgeEvent::SettingsError, text.c_str());
}

std::wstring StoredImage(const PortSettingsRecord& settings, bool fromHardware,
                         const std::wstring& trace) {
    // A followed adapter's COM name is the relay's own write, not a change.
    std::wstring image = std::wstring(settings.device[0] == L'\0' ? settings.serialPort : L"") +
                         L'\n' + settings.pipeName + L'\n' + settings.device + L'\n' + trace +
                         (fromHardware ? L"\nhardware" : L"");
    for (const StoredSetting& setting : kNumericLoadOrder) {
        image += L' ' + std::to_wstring(StoredNumber(settings, setting.field));
    }
    return image;
}

RelayContextRecord& PrepareBridgeRelay(Bridge& bridge) {
    if (!bridge.RelayContext) {
        bridge.RelayContext.reset(new RelayContextRecord{{SRWLOCK_INIT, INVALID_HANDLE_VALUE},
                                                         {SRWLOCK_INIT, INVALID_HANDLE_VALUE},
                                                         bridge.status});
        bridge.RelayContext->store = bridge.store;
    }
    return *bridge.RelayContext;
}

BridgeOutcome StartBridgeRelay(Bridge& bridge, HANDLE pipe, HANDLE serial) {
    RelayContextRecord& relay = PrepareBridgeRelay(bridge);
    relay.linkSettings = bridge.PortSettings;
    relay.pipe.handle.store(pipe, std::memory_order_release);
    relay.serial.handle.store(serial, std::memory_order_release);
    RegisterPipeEventSource();
    const bool unattended = !IsOpenHandle(pipe) && !IsOpenHandle(serial);
    // The keepers first: the pumps report lost ends to them. Without
    // them ends given stay as they are until one is lost, and the relay runs
    // all the same; ends to be opened by them would never be.
    const bool kept = StartLinkKeepers(relay);
    const wchar_t* failure =
        !kept && unattended                        ? L"Couldn't start the relay threads."
        : !StartRelayPump(relay, PipeToSerialPump) ? L"Couldn't start pipe reader thread."
        // The serial reader also watches the modem lines.
        : !StartRelayPump(relay, SerialToPipePump) ? L"Couldn't start serial reader thread."
                                                   : nullptr;
    if (failure != nullptr) {
        StopRelay(relay);
        ReplaceLinkHandle(relay.pipe, INVALID_HANDLE_VALUE);
        ReplaceLinkHandle(relay.serial, INVALID_HANDLE_VALUE);
        bridge.RelayContext.reset();
        return Failed(bridge, BridgeResult::NoThreads, failure);
    }
    if (unattended) {
        OpenEndsUnattended(relay);
    }
    return {BridgeResult::Done, {}};
}

BridgeOutcome StartBridge(Bridge& bridge, const std::vector<BridgeEnds>& running,
                          const TrafficTotals* carried, const ByteLedger* carriedLedger) {
    PortSettingsRecord settings{};
    bool fromHardware = false;
    std::wstring image;
    if (BridgeOutcome read = ReadBridgeStore(bridge, settings, fromHardware, image); !read.Done()) {
        return read;
    }
    if (fromHardware) {
        if (!ReadLineFromPort(settings)) {
            return Failed(bridge, BridgeResult::PortUnreadable,
                          L"Couldn't save the hardware configuration to Vantrel registry.");
        }
        WriteSettingsStore(settings, bridge.store);
    }
    if (const std::wstring conflict =
            BridgeConflict({bridge.name, settings.serialPort, settings.pipeName}, running);
        !conflict.empty()) {
        return Failed(bridge, BridgeResult::SharedEnds, conflict);
    }
    bridge.PortSettings = settings;
    bridge.stored = image;
    if (BridgeOutcome started = StartBridgeRelay(bridge); !started.Done()) {
        return started;
    }
    bridge.problem.clear();
    if (carried != nullptr) {
        CarryLedger(*carriedLedger, bridge.RelayContext->ledger);
        for (int i = 0; i < kTrafficCounterCount; ++i) {
            AddToCounter(bridge.RelayContext->traffic.TrafficCounters,
                         static_cast<TrafficCounter>(i), carried->value[i]);
        }
    }
    return {BridgeResult::Done, {}};
}

bool StopBridgeRelay(Bridge& bridge, DWORD timeoutMs, TrafficTotals* carried,
                     ByteLedger* carriedLedger) {
    if (!bridge.RelayContext) {
        return true;
    }
    RelayContextRecord& relay = *bridge.RelayContext;
    if (!StopRelay(relay, timeoutMs)) {
        return false;
    }
    // Taken once the threads have stopped, so that nothing counted is lost.
    if (carried != nullptr) {
        *carried = TakeAndResetCounters(relay.traffic.TrafficCounters);
        CarryLedger(relay.ledger, *carriedLedger);
    }
    ReplaceLinkHandle(relay.serial, INVALID_HANDLE_VALUE);
    ReplaceLinkHandle(relay.pipe, INVALID_HANDLE_VALUE);
    bridge.RelayContext.reset();
    return true;
}

BridgeOutcome ReloadBridge(Bridge& bridge, const std::vector<BridgeEnds>& running, bool always) {
    if (!bridge.RelayContext) {
        return StartBridge(bridge, running);
    }
    PortSettingsRecord settings{};
    bool fromHardware = false;
    std::wstring image;
    if (BridgeOutcome read = ReadBridgeStore(bridge, settings, fromHardware, image); !read.Done()) {
        return read;
    }
    bridge.problem.clear();
    if (!always && image == bridge.stored) {
        return {BridgeResult::Unchanged, {}};
    }
    AppendLogEntry(bridge.status, L"Settings changed; reopening the COM port and the pipe\r\n");
    TrafficTotals totals{};
    ByteLedger ledger;
    StopBridgeRelay(bridge, INFINITE, &totals, &ledger);
    ShowSerialPort(bridge.status, L"");
    return StartBridge(bridge, running, &totals, &ledger);
}

BridgeOutcome ResetBridgeCounters(Bridge& bridge) {
    if (!bridge.RelayContext) {
        return {BridgeResult::NotRunning, {}};
    }
    // Taken and zeroed in one step per counter: bytes counted from here on
    // are kept and shown.
    const TrafficTotals totals = TakeAndResetCounters(bridge.RelayContext->traffic.TrafficCounters);
    AppendLogEntry(bridge.status, CounterResetText(totals).c_str());
    return {BridgeResult::Done, {}};
}

BridgeOutcome StartBridgeTrace(Bridge& bridge, const std::wstring& path) {
    if (!bridge.RelayContext) {
        return {BridgeResult::NotRunning, L"the bridge does not run."};
    }
    if (!StartTrace(bridge.RelayContext->trace, bridge.status, path)) {
        return {BridgeResult::NotTraced, L"the file could not be opened (the Messages say why)."};
    }
    return {BridgeResult::Done, {}};
}

void StopBridgeTrace(Bridge& bridge) {
    if (bridge.RelayContext) {
        StopTrace(bridge.RelayContext->trace);
    }
}

void StartBridgeLog(Bridge& bridge, const std::wstring& path) {
    DWORD error = ERROR_SUCCESS;
    std::wstring problem;
    OpenDataFile(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                 error, &problem);
    if (error == kLinkRefusedError) {
        Failed(bridge, BridgeResult::SettingsUnreadable,
               L"No log file: " + path + L" is not written to: " + problem);
        return;
    }
    bridge.log.reportFailure = ReportLogFileFailure;
    bridge.log.reportContext = &bridge.status;
    if (StartLogFile(bridge.log, path)) {
        bridge.status.file = &bridge.log;
    }
}

BridgeSnapshot TakeSnapshot(Bridge& bridge, std::uint64_t messagesFrom, std::size_t messagesMax) {
    BridgeSnapshot shot;
    if (const RelayContextRecord* relay = bridge.RelayContext.get()) {
        shot.running = true;
        for (int i = 0; i < kTrafficCounterCount; ++i) {
            shot.counters[i] =
                CounterValue(relay->traffic.TrafficCounters, static_cast<TrafficCounter>(i));
        }
        for (int i = 0; i < 2; ++i) {
            shot.chunks[i] = relay->traffic.activity.chunkCount[i].load();
            shot.latestChunk[i] = relay->traffic.activity.latestChunk[i].load();
            const EndKeeper& keeper = i == 0 ? relay->pipeKeeper : relay->serialKeeper;
            shot.away[i] = keeper.away;
            shot.reconnects[i] = keeper.reconnects;
            for (int reason = 0; reason < kDiscardReasonCount; ++reason) {
                shot.discarded[i][reason] =
                    DiscardedCount(relay->ledger, static_cast<RelayDirection>(i),
                                   static_cast<DiscardReason>(reason));
            }
        }
        for (int kind = 0; kind < kLineErrorKindCount; ++kind) {
            shot.lineErrors[kind] = relay->lineErrors.total[kind];
        }
        if (relay->pipeKeeper.away) {
            shot.pipeDiagnosis = PipeDiagnosisFinding(relay->pipeDiagnosis);
        }
        shot.connectedSince = relay->connectedSince;
        shot.tracing = IsTracing(bridge.RelayContext->trace);
    }
    shot.settings = bridge.PortSettings;
    ViewState& view = bridge.view;
    AcquireSRWLockShared(&view.lock);
    // A followed adapter's COM name as it is now.
    shot.serialPort = view.serialPort.empty() ? bridge.PortSettings.serialPort : view.serialPort;
    shot.statusLine = shot.running ? view.statusLine : L"Not running: see its Messages";
    shot.carrier = view.carrier;
    shot.dataSet = view.dataSet;
    // What came after the count the asker has, as far as it is kept.
    const std::uint64_t kept = view.messagesEnd - view.messages.size();
    const std::uint64_t from =
        messagesFrom < kept || messagesFrom > view.messagesEnd ? kept : messagesFrom;
    const std::size_t length =
        static_cast<std::size_t>(std::min<std::uint64_t>(view.messagesEnd - from, messagesMax));
    shot.messages = view.messages.substr(static_cast<std::size_t>(from - kept), length);
    shot.messagesEnd = from + length;
    ReleaseSRWLockShared(&view.lock);
    return shot;
}
