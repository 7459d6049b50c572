// Everything one relay keeps: both ends, where its messages go, the settings
// a lost end is reopened with, the keepers that bring a lost end back and the
// event that stops it all. The caller owns the record and gives its address
// to every relay thread; it must outlive them. Nothing of a relay lives
// anywhere else, so several can run in one process.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "common/handles.h"
#include "common/link_end.h"
#include "common/status_client.h"
#include "config/bridge_names.h"
#include "config/settings_record.h"
#include "relay/byte_ledger.h"
#include "relay/pipe_diagnosis.h"
#include "relay/relay_activity.h"
#include "relay/trace.h"
#include "serial/com_ports.h"
#include "serial/modem_lines.h"

enum class LinkSide { Pipe, Serial };

struct RelayContextRecord;

inline HANDLE NewEvent(bool manualReset) {
    return CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
}

// The state of one end's keeper (link_recovery.h).
struct EndKeeper {
    RelayContextRecord* context = nullptr;  // set when the keeper starts
    LinkSide side = LinkSide::Pipe;
    UniqueKernelHandle wake{NewEvent(false)};   // set when the end is reported lost
    UniqueKernelHandle back{NewEvent(false)};   // set when a new handle is in place
    UniqueKernelHandle retry{NewEvent(false)};  // set when an adapter arrives: try at once
    std::atomic<bool> away{false};              // from the report until the end is back
    std::atomic<bool> starting{false};          // the end is to be opened for the first time
    std::atomic<DWORD> error{ERROR_SUCCESS};    // what the report said
    std::atomic<bool> byReader{false};          // whether the end's own reader reported it
    std::atomic<std::uint32_t> discarded{0};    // bytes for this end dropped meanwhile
    std::atomic<std::uint32_t> reconnects{0};   // times the end came back after a loss
};

// Both relay threads receive it by address: the pipe first, then the COM
// port. Start-up fills the ends once; afterwards only the recovery of a lost
// end changes a handle.
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
    // Set to end every thread of the relay (StopRelay).
    UniqueKernelHandle stop{NewEvent(true)};
    // Set just before it: the relay threads look between chunks without
    // asking the system (under Wine every wait, even one that does not
    // wait, is a round trip to the server).
    std::atomic<bool> stopping{false};
    // The completion events of the writes each way; each is used by the one
    // thread that writes that way.
    UniqueKernelHandle serialWritten{NewEvent(true)};
    UniqueKernelHandle pipeWritten{NewEvent(true)};
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
    // The relay's threads, so that they can be waited for.
    UniqueKernelHandle threads[6]{};
    int threadCount = 0;
};

// Starts a thread of the relay with the record's address as its argument.
bool StartRelayThread(RelayContextRecord& context, LPTHREAD_START_ROUTINE routine);

// Ends every thread of the relay and waits for them, at most timeoutMs; the
// ends stay open. False when a thread did not end in time: the record is
// then still in use.
bool StopRelay(RelayContextRecord& context, DWORD timeoutMs = INFINITE);
