#include "relay/relay_context.h"

#include "relay/link_recovery.h"

bool StartRelayThread(RelayContextRecord& context, LPTHREAD_START_ROUTINE routine) {
    if (context.threadCount == static_cast<int>(std::size(context.threads))) {
        return false;
    }
    UniqueKernelHandle thread(CreateThread(nullptr, 0, routine, &context, 0, nullptr));
    if (!thread.IsOpen()) {
        return false;
    }
    context.threads[context.threadCount++] = std::move(thread);
    return true;
}

bool StopRelay(RelayContextRecord& context, DWORD timeoutMs) {
    context.plugWatch.Stop();
    StopTrace(context.trace);
    context.stopping.store(true, std::memory_order_release);
    SetEvent(context.stop.Get());
    const DWORD started = GetTickCount();
    bool stopped = true;
    for (int i = 0; i < context.threadCount; ++i) {
        const DWORD spent = GetTickCount() - started;
        const DWORD left = timeoutMs == INFINITE ? INFINITE
                           : spent < timeoutMs   ? timeoutMs - spent
                                                 : 0;
        if (WaitForSingleObject(context.threads[i].Get(), left) != WAIT_OBJECT_0) {
            stopped = false;
        }
    }
    if (!stopped) {
        // The threads still use the record: the caller must keep it.
        return false;
    }
    for (int i = 0; i < context.threadCount; ++i) {
        context.threads[i].Reset();
    }
    context.threadCount = 0;
    WaitForPipeDiagnosis(context.pipeDiagnosis);
    // What the stop left unwritten, and what was not yet said, said once.
    LogDiscardedWhileAway(context, LinkSide::Pipe);
    LogDiscardedWhileAway(context, LinkSide::Serial);
    for (const RelayDirection direction : {RelayDirection::FromPort, RelayDirection::FromPipe}) {
        if (const std::uint64_t count = TakeUnreportedStopped(context.ledger, direction);
            count != 0) {
            AppendLogEntry(context.status,
                           DiscardedText(direction, DiscardReason::Stopped, count).c_str());
        }
    }
    if (const std::wstring report = TakeLineErrorReport(context.lineErrors, GetTickCount(), true);
        !report.empty()) {
        AppendLogEntry(context.status, report.c_str());
    }
    return true;
}
