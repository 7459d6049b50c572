#include "relay/relay_context.h"

#include "relay/link_recovery.h"
#include "relay/relay_pumps.h"

void HoldRelay(RelayContextRecord& context) {
    context.inFlight.fetch_add(1);
}

void ReleaseRelay(RelayContextRecord& context) {
    // The last hold goes only after StopRelay let go of its own, and
    // StopRelay waits for idle: the record lives until the event is set.
    if (context.inFlight.fetch_sub(1) == 1) {
        SetEvent(context.idle.Get());
    }
}

void ArmRelayTimer(RelayContextRecord& context, PoolTimer& timer, DWORD milliseconds) {
    HoldRelay(context);
    if (!ArmPoolTimer(timer, milliseconds)) {
        ReleaseRelay(context);  // armed already, and held for
    }
    // A timer armed as the relay stops does not hold the stop up.
    if (context.stopping.load()) {
        HastenPoolTimer(timer);
    }
}

bool PostRelayTask(RelayContextRecord& context, PoolTask& task) {
    HoldRelay(context);
    if (!PostToRelayPool(task)) {
        ReleaseRelay(context);
        return false;
    }
    return true;
}

bool SubmitRelayWork(RelayContextRecord& context, PoolTask& task) {
    HoldRelay(context);
    const auto run = [](PTP_CALLBACK_INSTANCE, PVOID parameter) {
        auto& work = *static_cast<PoolTask*>(parameter);
        work.run(work);
    };
    if (!TrySubmitThreadpoolCallback(run, &task, nullptr)) {
        ReleaseRelay(context);
        return false;
    }
    return true;
}

bool JoinRelayPool(RelayContextRecord& context) {
    return context.pipeShard.Join() && context.serialShard.Join();
}

bool StopRelay(RelayContextRecord& context, DWORD timeoutMs) {
    context.plugWatch.Stop();
    StopTrace(context.trace);
    context.stopping.store(true);
    SetEvent(context.stop.Get());
    HaltPump(context.pipeToSerial);
    HaltPump(context.serialToPipe);
    for (EndKeeper* keeper : {&context.pipeKeeper, &context.serialKeeper}) {
        HastenPoolTimer(keeper->timer);
    }
    if (!context.letGo.exchange(true)) {
        ReleaseRelay(context);
    }
    if (WaitForSingleObject(context.idle.Get(), timeoutMs) != WAIT_OBJECT_0) {
        // The pool still works for the record: the caller must keep it.
        return false;
    }
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
