// Everything one relay keeps: both ends, where its messages go, the settings
// a lost end is reopened with, and the keepers that bring a lost end back.
// The caller owns the record and gives its address to every relay thread; it
// must outlive them. Nothing of a relay lives anywhere else, so several can
// run in one process.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "common/link_end.h"
#include "common/status_client.h"
#include "config/settings_record.h"

enum class LinkSide { Pipe, Serial };

struct RelayContextRecord;

// The state of one end's keeper (link_recovery.h).
struct EndKeeper {
    RelayContextRecord* context = nullptr;
    LinkSide side = LinkSide::Pipe;
    HANDLE wake = nullptr;                    // set when the end is reported lost
    std::atomic<bool> away{false};            // from the report until the end is back
    std::atomic<DWORD> error{ERROR_SUCCESS};  // what the report said
    std::atomic<bool> byReader{false};        // whether the end's own reader reported it
    std::atomic<std::uint32_t> discarded{0};  // bytes for this end dropped meanwhile
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
    // Both keepers set the status line; the lock keeps the last text the
    // one that matches the state. The window thread never takes it.
    SRWLOCK statusLineLock = SRWLOCK_INIT;
};
