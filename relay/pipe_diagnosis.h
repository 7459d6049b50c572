// Which VM a missing pipe belongs to, and in what state that VM is: asked of
// Hyper-V once per loss of the pipe and added to the Messages as one entry.
// Hyper-V is asked on a thread of the system's pool, not by the thread that
// waits for the pipe: the reader may take up to its time limit, and a
// keeper held that long would see neither the pipe come back nor a stop.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "common/handles.h"
#include "common/status_client.h"
#include "config/settings_record.h"

void CALLBACK RunPipeDiagnosis(PTP_CALLBACK_INSTANCE, PVOID diagnosis, PTP_WORK);

inline constexpr std::size_t kDiagnosisCapacity = 256;

// One per pipe that is waited for; it must outlive its work
// (WaitForPipeDiagnosis).
struct PipeDiagnosis {
    UniqueThreadpoolWork work{CreateThreadpoolWork(RunPipeDiagnosis, this, nullptr)};
    std::atomic<bool> running{false};
    // Written by DiagnoseMissingPipe while nothing runs; read by the work.
    // The path is held in place, not on the heap: a process that ends while
    // the work runs leaves it readable.
    StatusClient* status = nullptr;
    wchar_t pipePath[kPipePathCapacity] = {};
    HANDLE stop = nullptr;  // ends the reader early; may be null
    // What the latest diagnosis found, for the bridge's snapshot; empty
    // until it is known.
    mutable SRWLOCK findingLock = SRWLOCK_INIT;
    wchar_t finding[kDiagnosisCapacity] = {};
};

// Unless one runs already: when pipePath is missing, asks Hyper-V whose it
// is and adds the entry to status (unless the pipe is back by then, or stop
// was set). Returns at once.
void DiagnoseMissingPipe(PipeDiagnosis& diagnosis, StatusClient& status, const wchar_t* pipePath,
                         HANDLE stop);

// What the latest diagnosis found (without the line end); empty while one
// runs or when none was made.
std::wstring PipeDiagnosisFinding(const PipeDiagnosis& diagnosis);

// Returns when no diagnosis runs any more.
void WaitForPipeDiagnosis(PipeDiagnosis& diagnosis);
