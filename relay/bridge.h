// One bridge: a COM port joined to a virtual machine's pipe, with everything
// that is its own (its store, the settings it runs with, its log file, where
// its messages go, its relay and trace). The desk window owns one, the
// service a list of them; both drive it through the operations below, which
// return what happened and never ask the user. The caller owns the record
// and calls the operations from one thread at a time.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/log_file.h"
#include "common/status_client.h"
#include "config/bridge_names.h"
#include "config/settings_record.h"
#include "config/settings_store.h"
#include "relay/relay_context.h"
#include "relay/traffic_counters.h"

struct Bridge {
    explicit Bridge(const std::wstring& bridgeName);
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    const std::wstring name;       // empty: the default bridge
    const std::wstring eventName;  // its name in the event log and in lists
    const StoreLocation store;
    // The settings it runs with. In the desk window the settings dialog
    // edits them on the window's thread; the relay works from its own copy.
    PortSettingsRecord PortSettings{};
    LogFile log;
    // Where its messages go: a window of this process, or (the service)
    // view, for status windows in other processes, and the event log.
    ViewState view;
    StatusClient status;
    std::unique_ptr<RelayContextRecord> RelayContext;  // null while it does not run
    // What the store held when the relay started (to tell a change), and the
    // last problem logged, said once until another takes its place.
    std::wstring stored;
    std::wstring problem;
    // A store that cannot be read may be half-way through a write or its
    // removal: its problem is logged when a later read finds it again.
    std::wstring unconfirmed;
    ResetRate resetRate;
};

enum class BridgeResult {
    Done,
    NotRunning,          // the operation needs a running relay
    SettingsUnreadable,  // the store could not be read; the last good settings stay
                         // (logged when a later read, unconfirmed meanwhile, finds it again)
    PortUnreadable,      // "Init from hardware" and the port's line could not be read
    SharedEnds,          // another running bridge has its COM port or pipe
    NoThreads,           // the relay could not start its threads
    NotTraced,           // the trace file could not be opened
    Unchanged,           // a reload found the store as it was
};
struct BridgeOutcome {
    BridgeResult result;
    std::wstring text;  // what went wrong, as the Messages say it; empty when done
    bool Done() const { return result == BridgeResult::Done; }
};

// The bridge's relay record, made when it has none: a caller that opens the
// ends itself notes the adapter it opened there before the relay starts.
RelayContextRecord& PrepareBridgeRelay(Bridge& bridge);

// Starts the relay of a bridge that does not run, with the settings in
// PortSettings: with both ends given (opened by the caller) or with neither,
// when its keepers open them and try again every 5 s while one is missing.
BridgeOutcome StartBridgeRelay(Bridge& bridge, HANDLE pipe = INVALID_HANDLE_VALUE,
                               HANDLE serial = INVALID_HANDLE_VALUE);

// Starts a bridge that does not run from its store (under "Init from
// hardware", the line read from its port, saved), unless a bridge in
// running has its COM port or pipe; counters and ledger carried over from
// an earlier relay when given. A problem is logged once.
BridgeOutcome StartBridge(Bridge& bridge, const std::vector<BridgeEnds>& running,
                          const TrafficTotals* carried = nullptr,
                          const ByteLedger* carriedLedger = nullptr);

// Stops the relay and lets go of both ends, waiting at most timeoutMs for
// its threads. The counters and the ledger go into carried when given. False
// when a thread did not end in time: the record is then kept, still in use.
bool StopBridgeRelay(Bridge& bridge, DWORD timeoutMs = INFINITE, TrafficTotals* carried = nullptr,
                     ByteLedger* carriedLedger = nullptr);

// Reopens both ends with the store's settings when they changed, or always;
// counters and ledger are kept. Settings that cannot be read leave it
// running with those it has. A bridge that does not run is started.
BridgeOutcome ReloadBridge(Bridge& bridge, const std::vector<BridgeEnds>& running, bool always);

// Takes and zeroes the counters in one step each, with one Messages entry.
BridgeOutcome ResetBridgeCounters(Bridge& bridge);

// A trace of the running bridge into path (a whole path), or its end.
BridgeOutcome StartBridgeTrace(Bridge& bridge, const std::wstring& path);
void StopBridgeTrace(Bridge& bridge);

// The bridge's log file at path, unless the file cannot be trusted (a link):
// then the Messages say why and it runs without one.
void StartBridgeLog(Bridge& bridge, const std::wstring& path);

// The bridge as it is now, for a status window or a monitor.
struct BridgeSnapshot {
    bool running = false;
    std::uint32_t counters[kTrafficCounterCount]{};
    std::uint32_t chunks[2]{};
    std::uint32_t latestChunk[2]{};
    bool away[2]{};  // the pipe, the COM port
    std::uint32_t reconnects[2]{};
    std::uint64_t discarded[2][kDiscardReasonCount]{};  // by RelayDirection
    std::uint32_t lineErrors[kLineErrorKindCount]{};
    std::wstring pipeDiagnosis;  // while the pipe is away: whose it is
    std::uint64_t connectedSince = 0;
    bool tracing = false;
    PortSettingsRecord settings{};
    std::wstring serialPort;  // the COM name in use now (a followed adapter's)
    std::wstring statusLine;
    bool carrier = false;
    bool dataSet = false;
    std::wstring messages;  // those after messagesFrom, as far as they are kept
    std::uint64_t messagesEnd = 0;
};
BridgeSnapshot TakeSnapshot(Bridge& bridge, std::uint64_t messagesFrom = 0,
                            std::size_t messagesMax = 0);

// One Messages entry and one event-log record of a settings problem.
void LogSettingsProblem(Bridge& bridge, const std::wstring& text);

// What the store says, as text to compare with the last.
std::wstring StoredImage(const PortSettingsRecord& settings, bool fromHardware,
                         const std::wstring& trace);
