// The two directions of a relay, run by the process's pool (relay_pool.h):
// PipeToSerialPump reads the pipe and writes the COM port; SerialToPipePump
// reads the COM port and writes the pipe. Each is a small state machine on
// the completions of its own operations: a read of its source end, then the
// write of what came to the other end, and only when that write is whole
// the next read, so that a full pipe holds the COM port's side back and
// nothing is dropped. An operation that completes at once is gone on with
// at once (FILE_SKIP_COMPLETION_PORT_ON_SUCCESS, where the handle allows
// it). Nothing waits on the clock but a short pause after an empty
// transfer. Starting or cancelling an operation holds that end's lock
// shared; the end's keeper (link_recovery.h) cancels what is pending on a
// lost handle before it closes it. A failure that means an end is gone is
// reported to its keeper, and the pump that reads that end rests until the
// keeper has it back. Every byte read is written whole or counted as
// discarded with its reason (byte_ledger.h). Neither pump waits for the
// window: counters and lamps are left in atomics (relay_activity.h) and a
// refresh is posted.
#include "relay/relay_pumps.h"

#include <cwchar>

#include "common/overlapped.h"
#include "relay/link_recovery.h"
#include "relay/modem_monitor.h"
#include "relay/relay_activity.h"
#include "serial/serial_port.h"

namespace {

bool AttachToPort(HANDLE handle, HANDLE port, bool* skipsOnSuccess) {
    if (CreateIoCompletionPort(handle, port, 0, 0) == nullptr) {
        return false;
    }
    *skipsOnSuccess =
        SetFileCompletionNotificationModes(
            handle, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS | FILE_SKIP_SET_EVENT_ON_HANDLE) != FALSE;
    return true;
}

}  // namespace

RelayIoCalls RelayIo = {ReadFile, WriteFile, AttachToPort};

namespace {

using State = RelayPump::State;

// The COM port's events the serial reader waits for.
constexpr DWORD kCommEvents = EV_RXCHAR | EV_ERR | EV_DSR | EV_RLSD;
// A driver that completes an empty read or write at once (none known) is not
// asked again sooner than this, so that it cannot keep a processor busy.
constexpr DWORD kEmptyReadPauseMs = 10;
// Chunks one pump relays in a row when each completes at once, before the
// work of other bridges waiting for the pool goes first.
constexpr int kChunksInARow = 16;

bool Stopping(const RelayContextRecord& context) {
    return context.stopping.load(std::memory_order_acquire);
}

LinkSide Other(LinkSide side) {
    return side == LinkSide::Pipe ? LinkSide::Serial : LinkSide::Pipe;
}

bool SameEnd(const EndInUse& a, const EndInUse& b) {
    return a.handle == b.handle && a.opening == b.opening;
}

// What an operation that has completed came to.
Transfer Outcome(HANDLE handle, OVERLAPPED& overlapped) {
    DWORD count = 0;
    const bool ok = GetOverlappedResult(handle, &overlapped, &count, FALSE) != FALSE;
    return {ok, count, ok ? ERROR_SUCCESS : GetLastError()};
}

void RequestRefresh(RelayContextRecord& context, bool needed) {
    if (needed && !PostRelayActivity(context.status)) {
        // No window, its queue is full or it is gone: let the next change ask again.
        BeginRefresh(context.traffic.activity);
    }
}

// The rest of a chunk that a pipe refused part-way: the count left behind.
void ReportBytesLeftBehind(StatusClient& status, DWORD left) {
    wchar_t count[16];
    std::swprintf(count, 16, L"%lu", static_cast<unsigned long>(left));
    const wchar_t* pieces[] = {L"Bytes left behind! ( ", count, L")\r\n"};
    AppendLogEntry(status, pieces, 3, 1024);
}

void Discard(RelayContextRecord& context, RelayDirection direction, DiscardReason reason,
             DWORD count, bool logNow) {
    if (count == 0) {
        return;
    }
    NoteDiscarded(context.ledger, direction, reason, count);
    if (logNow) {
        AppendLogEntry(context.status, DiscardedText(direction, reason, count).c_str());
    }
}

// Line errors the driver reports are counted by kind and logged now and then.
void CountLineErrors(RelayContextRecord& context, std::uint32_t errors) {
    if (NoteLineErrors(context.lineErrors, errors)) {
        const std::wstring report = TakeLineErrorReport(context.lineErrors, GetTickCount(), false);
        if (!report.empty()) {
            AppendLogEntry(context.status, report.c_str());
        }
    }
}

// After a serial call failed with ERROR_OPERATION_ABORTED that the keeper did
// not cause: a driver that aborts on line errors fails every call until its
// errors are cleared. False when the port does not answer (it is gone, as
// some USB drivers end pending calls when the adapter is pulled). errors
// tells whether the driver had any to clear.
bool ClearAbortingLine(RelayContextRecord& context, HANDLE port, bool& hadErrors) {
    std::uint32_t errors = 0;
    if (!ClearLineErrors(port, &errors)) {
        return false;
    }
    hadErrors = errors != 0;
    CountLineErrors(context, errors);
    return true;
}

bool DriverAborted(const RelayContextRecord& context, const Transfer& transfer) {
    return !transfer.ok && transfer.error == ERROR_OPERATION_ABORTED && !Stopping(context) &&
           !IsEndAway(context, LinkSide::Serial);
}

// Counts what of a chunk went to target; what is left, unless nothing is or
// the relay stops (which counts it as going nowhere).
DWORD CountWritten(RelayContextRecord& context, LinkSide target, DWORD length, DWORD sent) {
    const bool serial = target == LinkSide::Serial;
    if (sent > 0) {
        AddTraffic(context, serial ? SerialSent : VirtualSent, sent);
    }
    const DWORD rest = length - sent;
    if (rest != 0 && Stopping(context)) {
        Discard(context, serial ? RelayDirection::FromPipe : RelayDirection::FromPort,
                DiscardReason::Stopped, rest, false);
        return 0;
    }
    return rest;
}

// After the writes of a chunk to the COM port: counts what went and
// accounts for the rest. met: the port as the writes met it.
void SerialChunkDone(RelayContextRecord& context, DWORD length, DWORD sent, const Transfer& write,
                     const EndInUse& met) {
    bool portGone = false;
    if (!write.ok && !Stopping(context) && !IsEndAway(context, LinkSide::Serial)) {
        SharedLinkUse serial(context.serial);
        portGone = SameEnd(serial.InUse(), met) && !SerialPortAnswers(met.handle);
    }
    const DWORD rest = CountWritten(context, LinkSide::Serial, length, sent);
    if (rest == 0) {
        return;
    }
    if (IsEndAway(context, LinkSide::Serial)) {
        NoteDiscardedWhileAway(context, LinkSide::Serial, rest);
        return;
    }
    // A port already known lost has been reported; its chunks are counted.
    ReportSystemError(context.status, L"Error writing to serial port: ", write.error, L"\n");
    if (portGone) {
        ReportEndLost(context, LinkSide::Serial, met, write.error, false);
        NoteDiscardedWhileAway(context, LinkSide::Serial, rest);
        return;
    }
    Discard(context, RelayDirection::FromPipe, DiscardReason::WriteFailed, rest, true);
}

// The same for a chunk to the pipe.
void PipeChunkDone(RelayContextRecord& context, DWORD length, DWORD sent, const Transfer& write,
                   const EndInUse& met) {
    const DWORD rest = CountWritten(context, LinkSide::Pipe, length, sent);
    if (rest == 0) {
        return;
    }
    if (write.error == ERROR_OPERATION_ABORTED || IsEndAway(context, LinkSide::Pipe)) {
        // Its keeper took the pipe away.
        NoteDiscardedWhileAway(context, LinkSide::Pipe, rest);
        return;
    }
    ReportSystemError(context.status, L"Error writing to pipe: ", write.error, L"\n");
    // The virtual machine went away while the COM port's reader here was
    // not reading the pipe: its keeper is told from this side.
    if (IsPipeGone(write.error)) {
        ReportEndLost(context, LinkSide::Pipe, met, write.error, false);
        NoteDiscardedWhileAway(context, LinkSide::Pipe, rest);
        return;
    }
    ReportBytesLeftBehind(context.status, rest);
    Discard(context, RelayDirection::FromPort, DiscardReason::WriteFailed, rest, false);
}

// What a pump does next after a step; Wait: its next step comes from the
// pool (a completion, a timer, a post), or never (Done).
enum class Next { Read, Write, Wait };

// Starts an operation of pump on handle (an end of side) with task's
// OVERLAPPED. True when it ended at once, with now; otherwise the pool
// brings its completion to the task.
template <typename Call>
bool Begin(RelayPump& pump, LinkSide side, PoolTask& task, HANDLE handle, Call call,
           Transfer& now) {
    RelayContextRecord& context = *pump.context;
    const HANDLE event = task.overlapped.hEvent;
    task.overlapped = OverlappedWith(event);
    HoldRelay(context);
    const BOOL done = call(&task.overlapped);
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if ((!done && error == ERROR_IO_PENDING) ||
        (done && !KeeperOf(context, side).skipsOnSuccess.load())) {
        pump.state = State::Pending;
        pump.pending = &task;
        return false;
    }
    // This run holds the relay too: the count does not reach 0 here.
    ReleaseRelay(context);
    now = done ? Outcome(handle, task.overlapped) : Transfer{false, 0, error};
    return true;
}

Next Pause(RelayPump& pump, bool writing) {
    pump.writingChunk = writing;
    pump.state = State::Paused;
    ArmRelayTimer(*pump.context, pump.pause, kEmptyReadPauseMs);
    return Next::Wait;
}

// The source end is away or was just reported lost: the pump rests until its
// keeper has a new handle in place (ResumePump) or the relay stops.
Next Park(RelayPump& pump) {
    RelayContextRecord& context = *pump.context;
    const EndKeeper& keeper = KeeperOf(context, pump.source);
    // Without its keeper a lost end stays lost.
    if (keeper.context != nullptr && !keeper.away.load() &&
        IsOpenHandle(EndOf(context, pump.source).handle.load())) {
        return Next::Read;
    }
    pump.state = State::Parked;
    return Next::Wait;
}

// Under the port's lock: sets the driver's events up for a handle the pump
// has not read before. True when the next step is a wait for an event.
bool WatchPort(RelayPump& pump, HANDLE port) {
    if (pump.watchOpening != pump.reading.opening) {
        pump.watchOpening = pump.reading.opening;
        pump.events = CommEvents.setMask(port, kCommEvents) != FALSE;
        // Bytes that came before the mask was set raised no event: the
        // first look reads what is queued already.
        pump.draining = pump.events;
        ModemMonitor(*pump.context, port);
    }
    return pump.events && !pump.draining;
}

// A line change during the rest after a report is looked at when the rest
// ends; otherwise nothing wakes the reader but the port.
void ArmModemLook(RelayPump& pump) {
    const std::int64_t due = ModemLookDueIn(pump.context->modemWatch, GetTickCount());
    if (due >= 0) {
        ArmRelayTimer(*pump.context, pump.modemLook, static_cast<DWORD>(due));
    }
}

void DisarmModemLook(RelayPump& pump) {
    if (DisarmPoolTimer(pump.modemLook)) {
        ReleaseRelay(*pump.context);
    }
}

void StartChunk(RelayPump& pump, DWORD length) {
    pump.length = length;
    pump.sent = 0;
    pump.writing = {};
}

Next AfterRead(RelayPump& pump, const Transfer& read);

// What the COM port's driver signalled. atOnce: the wait ended as it began.
Next AfterWait(RelayPump& pump, const Transfer& waited, bool atOnce) {
    RelayContextRecord& context = *pump.context;
    if (!waited.ok) {
        if (atOnce) {
            pump.events = false;  // this driver cannot wait for events
            return AfterRead(pump, {true, 0, ERROR_SUCCESS});
        }
        return AfterRead(pump, waited);
    }
    const DWORD mask = pump.mask;
    if (mask == 0) {
        pump.events = false;
    }
    {
        SharedLinkUse serial(context.serial);
        if (SameEnd(serial.InUse(), pump.reading)) {
            if ((mask & (EV_DSR | EV_RLSD)) != 0) {
                ModemMonitor(context, pump.reading.handle);
            }
            if ((mask & EV_ERR) != 0) {
                std::uint32_t errors = 0;
                if (ClearLineErrors(pump.reading.handle, &errors)) {
                    CountLineErrors(context, errors);
                }
            }
        }
    }
    if ((mask & EV_RXCHAR) == 0) {
        return AfterRead(pump, {true, 0, ERROR_SUCCESS});
    }
    // The driver signals once for any number of bytes: read until a read
    // finds none left. The time-outs make a read take what the driver holds
    // without waiting.
    pump.draining = true;
    return Next::Read;
}

// Starts what comes next on the source end: a read, or on a COM port that
// signals, a wait for its next event.
Next ReadSource(RelayPump& pump) {
    RelayContextRecord& context = *pump.context;
    if (Stopping(context)) {
        pump.state = State::Done;
        return Next::Wait;
    }
    Transfer now{};
    bool ended = false;
    bool waited = false;
    {
        SharedLinkUse use(EndOf(context, pump.source));
        pump.reading = use.InUse();
        const HANDLE handle = pump.reading.handle;
        if (!IsOpenHandle(handle)) {
            // Away; Park looks again outside the lock.
        } else if (pump.source == LinkSide::Serial && WatchPort(pump, handle)) {
            waited = true;
            pump.mask = 0;
            ended = Begin(
                pump, LinkSide::Serial, pump.wait, handle,
                [&](OVERLAPPED* overlapped) {
                    return CommEvents.wait(handle, &pump.mask, overlapped);
                },
                now);
            if (!ended) {
                ArmModemLook(pump);
            }
        } else {
            ended = Begin(
                pump, pump.source, pump.read, handle,
                [&](OVERLAPPED* overlapped) {
                    return RelayIo.read(handle, pump.buffer, kRelayChunkSize, nullptr, overlapped);
                },
                now);
        }
    }
    if (!IsOpenHandle(pump.reading.handle)) {
        return Park(pump);
    }
    if (!ended) {
        return Next::Wait;
    }
    return waited ? AfterWait(pump, now, true) : AfterRead(pump, now);
}

Next AfterPipeRead(RelayPump& pump, const Transfer& read) {
    RelayContextRecord& context = *pump.context;
    if (!read.ok) {
        // ERROR_OPERATION_ABORTED: the keeper took the handle away.
        if (read.error != ERROR_OPERATION_ABORTED) {
            // The virtual machine went away (shut down, restarted): its
            // keeper waits for the pipe to come back.
            ReportSystemError(context.status, L"Error reading from pipe: ", read.error, nullptr);
            ReportEndLost(context, LinkSide::Pipe, pump.reading, read.error, true);
        }
        return Park(pump);
    }
    if (read.count == 0) {
        return Next::Read;
    }
    AddTraffic(context, VirtualReceived, read.count);
    TraceChunk(context.trace, TraceDirection::VmToDevice, pump.buffer, read.count);
    RequestRefresh(context,
                   NoteLampChunk(context.traffic.activity, ActivityLamp::SerialSend, read.count));
    StartChunk(pump, read.count);
    return Next::Write;
}

Next AfterPortRead(RelayPump& pump, const Transfer& read) {
    RelayContextRecord& context = *pump.context;
    const HANDLE port = pump.reading.handle;
    if (DriverAborted(context, read)) {
        // Not the keeper: the driver aborts on line errors. Cleared, it
        // reads again; one that no longer answers is gone.
        bool hadErrors = false;
        if (ClearAbortingLine(context, port, hadErrors)) {
            return hadErrors ? Next::Read : Pause(pump, false);
        }
        ReportEndLost(context, LinkSide::Serial, pump.reading, read.error, true);
    }
    if (!read.ok && read.error == ERROR_OPERATION_ABORTED) {
        // Away, or just taken away by its keeper.
        return Park(pump);
    }
    if (!read.ok) {
        // A failure that does not repeat at once is read past; one that
        // repeats (throttled), or that leaves the driver silent, means the
        // port is gone, as when a USB adapter is unplugged.
        const bool written = ReportSystemError(context.status, L"Error reading from serial port: ",
                                               read.error, L"\n") == ReportResult::Written;
        bool answers;
        {
            SharedLinkUse serial(context.serial);
            answers = SameEnd(serial.InUse(), pump.reading) && SerialPortAnswers(port);
        }
        if (!written || !answers) {
            ReportEndLost(context, LinkSide::Serial, pump.reading, read.error, true);
            return Park(pump);
        }
        return Next::Read;
    }
    if (read.count == 0) {
        return pump.events ? Next::Read : Pause(pump, false);
    }
    AddToCounter(context.traffic.TrafficCounters, SerialReceived, read.count);
    TraceChunk(context.trace, TraceDirection::DeviceToVm, pump.buffer, read.count);
    RequestRefresh(
        context, NoteLampChunk(context.traffic.activity, ActivityLamp::SerialReceive, read.count));
    StartChunk(pump, read.count);
    return Next::Write;
}

Next AfterRead(RelayPump& pump, const Transfer& read) {
    RelayContextRecord& context = *pump.context;
    const bool fromPipe = pump.source == LinkSide::Pipe;
    if (!fromPipe) {
        pump.draining = pump.events && read.ok && read.count > 0;
    }
    if (Stopping(context)) {
        // A chunk that came with the stop is counted, as going nowhere.
        if (read.ok && read.count > 0) {
            AddToCounter(context.traffic.TrafficCounters,
                         fromPipe ? VirtualReceived : SerialReceived, read.count);
            Discard(context, fromPipe ? RelayDirection::FromPipe : RelayDirection::FromPort,
                    DiscardReason::Stopped, read.count, false);
        }
        pump.state = State::Done;
        return Next::Wait;
    }
    return fromPipe ? AfterPipeRead(pump, read) : AfterPortRead(pump, read);
}

// The chunk is written whole, or what is left of it has been accounted for.
Next EndChunk(RelayPump& pump, const Transfer& write) {
    RelayContextRecord& context = *pump.context;
    if (pump.source == LinkSide::Pipe) {
        SerialChunkDone(context, pump.length, pump.sent, write, pump.writing);
    } else {
        PipeChunkDone(context, pump.length, pump.sent, write, pump.writing);
    }
    return Next::Read;
}

Next AfterWrite(RelayPump& pump, const Transfer& write) {
    pump.sent += write.count;
    if (write.ok && pump.sent < pump.length) {
        // A COM port whose output queue is full completes a write with part
        // of it; the rest follows. A write that took nothing is made again
        // shortly.
        return write.count == 0 ? Pause(pump, true) : Next::Write;
    }
    bool hadErrors = false;
    if (pump.source == LinkSide::Pipe && DriverAborted(*pump.context, write) &&
        ClearAbortingLine(*pump.context, pump.writing.handle, hadErrors) && hadErrors) {
        return Next::Write;
    }
    return EndChunk(pump, write);
}

// Writes what is left of the chunk to the other end. A write to a full pipe
// completes when the virtual machine has read enough; the pipe is not
// flushed, since a flush waits for it to read every chunk.
Next WriteChunk(RelayPump& pump) {
    RelayContextRecord& context = *pump.context;
    const LinkSide target = Other(pump.source);
    if (Stopping(context)) {
        return EndChunk(pump, {true, 0, ERROR_SUCCESS});
    }
    Transfer now{};
    bool ended = false;
    {
        SharedLinkUse use(EndOf(context, target));
        const EndInUse met = use.InUse();
        if (pump.sent == 0 && pump.writing.handle == INVALID_HANDLE_VALUE) {
            if (!IsOpenHandle(met.handle)) {
                NoteDiscardedWhileAway(context, target, pump.length);
                return Next::Read;
            }
            pump.writing = met;
        }
        if (!SameEnd(met, pump.writing)) {
            // Replaced during a pause: the end was lost meanwhile.
            now = {false, 0, ERROR_OPERATION_ABORTED};
            ended = true;
        } else {
            ended = Begin(
                pump, target, pump.write, met.handle,
                [&](OVERLAPPED* overlapped) {
                    return RelayIo.write(met.handle, pump.buffer + pump.sent,
                                         pump.length - pump.sent, nullptr, overlapped);
                },
                now);
        }
    }
    return ended ? AfterWrite(pump, now) : Next::Wait;
}

// Goes on from a step until the pump has to wait. A pump whose operations
// keep completing at once lets other work go first now and then.
void Go(RelayPump& pump, Next next) {
    for (int chunks = 0; next != Next::Wait;) {
        if (next == Next::Read && ++chunks > kChunksInARow) {
            pump.writingChunk = false;
            pump.state = State::Yielded;
            PostRelayTask(*pump.context, pump.resume);
            return;
        }
        next = next == Next::Read ? ReadSource(pump) : WriteChunk(pump);
    }
}

// Each way into a pump runs under its lock and ends with the release of the
// relay's hold for it, its last touch of the record.
template <typename Step>
void Locked(RelayPump& pump, Step step) {
    RelayContextRecord& context = *pump.context;
    AcquireSRWLockExclusive(&pump.lock);
    step();
    ReleaseSRWLockExclusive(&pump.lock);
    ReleaseRelay(context);
}

RelayPump& PumpOf(void* owner) {
    return *static_cast<RelayPump*>(owner);
}

// The completion of the pump's outstanding operation.
void OnCompleted(PoolTask& task) {
    RelayPump& pump = PumpOf(task.owner);
    Locked(pump, [&] {
        pump.state = State::Busy;
        pump.pending = nullptr;
        const bool writing = &task == &pump.write;
        const Transfer outcome =
            Outcome(writing ? pump.writing.handle : pump.reading.handle, task.overlapped);
        if (&task == &pump.wait) {
            DisarmModemLook(pump);
            Go(pump, AfterWait(pump, outcome, false));
        } else {
            Go(pump, writing ? AfterWrite(pump, outcome) : AfterRead(pump, outcome));
        }
    });
}

// A post (the source end is back, or the pump let others go first) or the
// end of a pause: the pump goes on where it stopped. One that comes early
// only makes it look again.
void GoOn(RelayPump& pump) {
    Locked(pump, [&] {
        const State state = pump.state;
        if (state == State::Parked || state == State::Yielded || state == State::Paused) {
            pump.state = State::Busy;
            Go(pump, state != State::Parked && pump.writingChunk ? Next::Write : Next::Read);
        }
    });
}

void OnResume(PoolTask& task) {
    GoOn(PumpOf(task.owner));
}

void OnPause(PoolTimer& timer) {
    GoOn(PumpOf(timer.owner));
}

void OnModemLook(PoolTimer& timer) {
    RelayPump& pump = PumpOf(timer.owner);
    Locked(pump, [&] {
        if (pump.state != State::Pending || pump.pending != &pump.wait || Stopping(*pump.context)) {
            return;
        }
        {
            SharedLinkUse serial(pump.context->serial);
            if (SameEnd(serial.InUse(), pump.reading)) {
                ModemMonitor(*pump.context, pump.reading.handle);
            }
        }
        ArmModemLook(pump);
    });
}

bool AttachFirstHandle(RelayContextRecord& context, LinkSide side) {
    EndKeeper& keeper = KeeperOf(context, side);
    const LinkEnd& end = EndOf(context, side);
    // Later handles are attached by the keeper that opens them.
    if (keeper.initialAttached || end.openings.load() != 0 || !IsOpenHandle(end.handle.load())) {
        return true;
    }
    keeper.initialAttached = AttachEnd(context, side, end.handle.load());
    return keeper.initialAttached;
}

}  // namespace

bool AttachEnd(RelayContextRecord& context, LinkSide side, HANDLE handle) {
    bool skips = false;
    if (!RelayIo.attach(handle, ShardPort(*ShardOf(context, side)), &skips)) {
        return false;
    }
    KeeperOf(context, side).skipsOnSuccess.store(skips);
    return true;
}

bool StartRelayPump(RelayContextRecord& context, PumpDirection direction) {
    if (!JoinRelayPool(context) || !AttachFirstHandle(context, LinkSide::Pipe) ||
        !AttachFirstHandle(context, LinkSide::Serial)) {
        return false;
    }
    const bool fromPipe = direction == PumpDirection::PipeToSerial;
    RelayPump& pump = fromPipe ? context.pipeToSerial : context.serialToPipe;
    pump.context = &context;
    pump.source = fromPipe ? LinkSide::Pipe : LinkSide::Serial;
    RelayShard* shard = ShardOf(context, pump.source);
    pump.read = {{}, OnCompleted, &pump, shard};
    pump.write = {{}, OnCompleted, &pump, shard};
    pump.wait = {{}, OnCompleted, &pump, shard};
    pump.wait.overlapped.hEvent = pump.waitEvent.Get();
    pump.resume = {{}, OnResume, &pump, shard};
    pump.pause = {OnPause, &pump, shard};
    pump.modemLook = {OnModemLook, &pump, shard};
    pump.state = State::Yielded;
    pump.writingChunk = false;
    return PostRelayTask(context, pump.resume);
}

void HaltPump(RelayPump& pump) {
    if (pump.context == nullptr) {
        return;
    }
    AcquireSRWLockExclusive(&pump.lock);
    if (pump.state == State::Pending && pump.pending != nullptr) {
        const bool writing = pump.pending == &pump.write;
        const LinkSide side = writing ? Other(pump.source) : pump.source;
        const EndInUse& met = writing ? pump.writing : pump.reading;
        SharedLinkUse use(EndOf(*pump.context, side));
        if (SameEnd(use.InUse(), met)) {
            OVERLAPPED* overlapped = &pump.pending->overlapped;
            if (side == LinkSide::Serial) {
                CommEvents.cancel(met.handle, overlapped);
            } else {
                CancelIoEx(met.handle, overlapped);
            }
        }
    }
    HastenPoolTimer(pump.pause);
    HastenPoolTimer(pump.modemLook);
    if (pump.state == State::Parked) {
        pump.state = State::Done;
    }
    ReleaseSRWLockExclusive(&pump.lock);
}

void ResumePump(RelayContextRecord& context, LinkSide source) {
    RelayPump& pump = source == LinkSide::Pipe ? context.pipeToSerial : context.serialToPipe;
    if (pump.context != nullptr) {
        PostRelayTask(context, pump.resume);
    }
}

void AddTraffic(RelayContextRecord& context, TrafficCounter counter, DWORD n) {
    AddToCounter(context.traffic.TrafficCounters, counter, n);
    RequestRefresh(context, NoteCounterChange(context.traffic.activity));
}
