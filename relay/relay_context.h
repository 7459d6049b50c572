// Everything one relay keeps: both ends, where its messages go, the settings
// a lost end is reopened with, the keepers that bring a lost end back, the
// two pumps and the stop. The caller owns the record; the process's pool
// (relay_pool.h) runs its pumps and keepers, and it must outlive their work
// (StopRelay). Nothing of a relay lives anywhere else, so several can run
// in one process.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>

#include "common/handles.h"
#include "common/link_end.h"
#include "common/status_client.h"
#include "config/bridge_names.h"
#include "config/settings_record.h"
#include "relay/byte_ledger.h"
#include "relay/pipe_diagnosis.h"
#include "relay/relay_activity.h"
#include "relay/relay_pool.h"
#include "pipe/pipe_server_rule.h"
#include "relay/trace.h"
#include "serial/com_ports.h"
#include "serial/modem_lines.h"
#include "serial/serial_port.h"

enum class LinkSide { Pipe, Serial };

struct RelayContextRecord;

inline HANDLE NewEvent(bool manualReset) {
    return CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
}

// The most one read takes from an end.
inline constexpr DWORD kRelayChunkSize = 4096;

// The state of one end's keeper (link_recovery.h). Its work runs on the
// pool, one run at a time (kicks); what only that work touches is plain.
struct EndKeeper {
    RelayContextRecord* context = nullptr;  // set when the keeper starts
    LinkSide side = LinkSide::Pipe;
    PoolTask work{};
    PoolTimer timer{};                  // the grace, or the next try
    std::atomic<int> kicks{0};          // asks for a run; the first posts the work
    std::atomic<bool> reported{false};  // a loss (or the first opening) to act on
    std::atomic<bool> timerFired{false};
    std::atomic<bool> retryNow{false};  // an adapter arrived: try at once
    enum class Phase { Watching, Grace, Reopening } phase = Phase::Watching;
    bool opening = false;                                // reopening for the first time
    std::optional<PipeServerFacts> refused;              // one entry per server that is not a VM
    LineSetupResult lastResult = LineSetupResult::Done;  // said once in a row
    AdapterSearch lastSearch = AdapterSearch::Found;
    // Whether an operation on the end's handle that completes at once
    // queues nothing (set when the handle is attached to the pool).
    std::atomic<bool> skipsOnSuccess{false};
    bool initialAttached = false;
    std::atomic<bool> away{false};             // from the report until the end is back
    std::atomic<bool> starting{false};         // the end is to be opened for the first time
    std::atomic<DWORD> error{ERROR_SUCCESS};   // what the report said
    std::atomic<bool> byReader{false};         // whether the end's own reader reported it
    std::atomic<std::uint32_t> discarded{0};   // bytes for this end dropped meanwhile
    std::atomic<std::uint32_t> reconnects{0};  // times the end came back after a loss
};

// One direction of the relay, from its source end to the other: at most
// one read of the source outstanding, and no next read until the chunk read
// is written whole (or counted as discarded). Its work runs on the pool
// under its lock; each operation has its own task.
struct RelayPump {
    RelayContextRecord* context = nullptr;  // set when the pump starts
    LinkSide source = LinkSide::Pipe;
    SRWLOCK lock = SRWLOCK_INIT;
    PoolTask read{}, write{}, wait{}, resume{};
    PoolTimer pause{}, modemLook{};
    UniqueKernelHandle waitEvent{NewEvent(true)};  // WaitCommEvent asks for one
    // What the pump is waiting for; the operation's task and the handle it
    // was started on, to cancel it.
    enum class State {
        Stopped,
        Busy,
        Pending,
        Paused,
        Parked,
        Yielded,
        Done
    } state = State::Stopped;
    PoolTask* pending = nullptr;
    EndInUse reading{}, writing{};
    bool writingChunk = false;  // what to go on with after a pause or a yield
    DWORD mask = 0;
    DWORD length = 0, sent = 0;
    // The COM port's reader: the handle the events were set up for; whether
    // the driver signals (Wine's pty refuses WaitCommEvent, and a read left
    // pending then returns as soon as bytes arrive); and, after a signal of
    // received bytes (one for any number), reading until a read finds none.
    std::optional<unsigned> watchOpening;
    bool events = false;
    bool draining = false;
    BYTE buffer[kRelayChunkSize];
};

// Start-up fills the ends once; afterwards only the recovery of a lost end
// changes a handle.
struct RelayContextRecord {
    LinkEnd pipe;
    LinkEnd serial;
    StatusClient& status;
    // What a lost end is reopened with: copied by start-up before the relay
    // threads start, since they never read PortSettings itself (the settings
    // dialog may be writing it).
    PortSettingsRecord linkSettings{};
    EndKeeper pipeKeeper{};
    EndKeeper serialKeeper{};
    // Where "Serial port" is kept up to date when a followed adapter shows
    // up under a new COM name.
    StoreLocation store{};
    // The device instance ID of the open COM port, when it is known: plug
    // events, which come on a system thread, are matched against it.
    SRWLOCK adapterLock = SRWLOCK_INIT;
    std::wstring adapterInstanceId{};
    // Said once per relay (the thread that opens the port): an adapter found
    // by its socket; an adapter's long latency timer.
    bool notedLocation = false;
    bool notedLatency = false;
    // Plug events while the keepers run.
    PortPlugWatch plugWatch{};
    // Both keepers set the status line; the lock keeps the last text the
    // one that matches the state. The window thread never takes it.
    SRWLOCK statusLineLock = SRWLOCK_INIT;
    // Since when both ends are up (a FILETIME, UTC), kept with the status
    // line; 0 while one is not.
    std::atomic<std::uint64_t> connectedSince{0};
    // Set by StopRelay, for the pipe's diagnosis.
    UniqueKernelHandle stop{NewEvent(true)};
    // Set just before it: the pumps and keepers look without asking the
    // system (under Wine every wait, even one that does not wait, is a
    // round trip to the server).
    std::atomic<bool> stopping{false};
    // Counters and lamps, for the window that shows the relay.
    RelayTraffic traffic{};
    // What was read and not written, by reason, and the COM port's line errors.
    ByteLedger ledger{};
    LineErrorCounts lineErrors{};
    // The bytes each way and the ends' losses, when a trace runs.
    TraceWriter trace{};
    // The COM port's reader owns it: the modem lines last reported.
    ModemWatch modemWatch{};
    // Which VM the pipe belongs to, asked once each time it is missing.
    PipeDiagnosis pipeDiagnosis{};
    RelayPump pipeToSerial{};
    RelayPump serialToPipe{};
    // The work of the relay the pool holds: operations outstanding, tasks
    // posted, timers armed, runs under way, and one for the relay itself
    // until StopRelay lets go of it. At 0 the record is free; idle says so.
    std::atomic<int> inFlight{1};
    std::atomic<bool> letGo{false};
    UniqueKernelHandle idle{NewEvent(true)};
    // The pool's threads that serve each end: its completions, and the
    // tasks and timers of the pump that reads it.
    ShardLease pipeShard{};
    ShardLease serialShard{};
};

inline LinkEnd& EndOf(RelayContextRecord& context, LinkSide side) {
    return side == LinkSide::Pipe ? context.pipe : context.serial;
}
inline EndKeeper& KeeperOf(RelayContextRecord& context, LinkSide side) {
    return side == LinkSide::Pipe ? context.pipeKeeper : context.serialKeeper;
}
inline RelayShard* ShardOf(const RelayContextRecord& context, LinkSide side) {
    return (side == LinkSide::Pipe ? context.pipeShard : context.serialShard).Get();
}
inline const EndKeeper& KeeperOf(const RelayContextRecord& context, LinkSide side) {
    return side == LinkSide::Pipe ? context.pipeKeeper : context.serialKeeper;
}

// Ends the relay's work and waits for it, at most timeoutMs; the ends stay
// open. False when some did not end in time: the record is then still in
// use.
bool StopRelay(RelayContextRecord& context, DWORD timeoutMs = INFINITE);

// For the relay's own code: a piece of work the pool will come back with
// (Hold) and its end (Release), after which the record may be gone.
void HoldRelay(RelayContextRecord& context);
void ReleaseRelay(RelayContextRecord& context);
// Arms a timer of the relay; one armed as the relay stops fires at once.
void ArmRelayTimer(RelayContextRecord& context, PoolTimer& timer, DWORD milliseconds);
bool PostRelayTask(RelayContextRecord& context, PoolTask& task);
// Runs task on a thread of the system's pool: work that may block (opening
// an end) holds up no relay's bytes.
bool SubmitRelayWork(RelayContextRecord& context, PoolTask& task);
// Gives the relay its place in the pool, once; its timers are then tied to it.
bool JoinRelayPool(RelayContextRecord& context);
