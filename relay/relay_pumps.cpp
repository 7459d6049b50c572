// Threads: PipeToSerialPump reads the pipe and writes the COM port;
// SerialToPipePump reads the COM port and writes the pipe. Both ends are
// opened for overlapped I/O, and each thread waits on its operation and the
// relay's stop event together, never on the clock: a read stays pending
// until bytes come, a write until the other end took them all. Every use of
// a handle holds that end's lock shared; the end's keeper (link_recovery.h)
// cancels what is pending on a lost handle before it takes it away. A
// failure that means an end is gone is reported to its keeper and the reader
// of that end waits for it to come back. Every byte read is written whole or
// counted as discarded with its reason (byte_ledger.h). Neither thread waits
// for the window: counters and lamps are left in atomics (relay_activity.h)
// and a refresh is posted.
#include "relay/relay_pumps.h"

#include <cwchar>
#include <optional>

#include "common/overlapped.h"
#include "relay/link_recovery.h"
#include "relay/modem_monitor.h"
#include "relay/relay_activity.h"
#include "serial/serial_port.h"

RelayIoCalls RelayIo = {ReadFile, WriteFile};

namespace {

// The COM port's events the serial reader waits for.
constexpr DWORD kCommEvents = EV_RXCHAR | EV_ERR | EV_DSR | EV_RLSD;
// A driver that completes an empty read at once (none known) is not asked
// again sooner than this, so that it cannot keep a processor busy.
constexpr DWORD kEmptyReadPauseMs = 10;

bool Stopping(const RelayContextRecord& context) {
    return context.stopping.load(std::memory_order_acquire);
}

bool StoppedWithin(const RelayContextRecord& context, DWORD milliseconds) {
    return WaitForSingleObject(context.stop.Get(), milliseconds) == WAIT_OBJECT_0;
}

// A read or write that ends when the end answers or the relay stops.
Transfer Read(const RelayContextRecord& context, HANDLE handle, BYTE* buffer, DWORD size,
              HANDLE event) {
    OVERLAPPED overlapped = OverlappedWith(event);
    return AwaitTransfer(handle, overlapped,
                         RelayIo.read(handle, buffer, size, nullptr, &overlapped),
                         context.stop.Get());
}

Transfer Write(const RelayContextRecord& context, HANDLE handle, const BYTE* bytes, DWORD length,
               HANDLE event) {
    OVERLAPPED overlapped = OverlappedWith(event);
    return AwaitTransfer(handle, overlapped,
                         RelayIo.write(handle, bytes, length, nullptr, &overlapped),
                         context.stop.Get());
}

// The handle of end and what attempt made of it, under the end's lock; an
// end that is away is not tried.
template <typename Attempt>
EndInUse TryEnd(LinkEnd& end, Transfer& result, Attempt attempt) {
    SharedLinkUse use(end);
    const EndInUse met = use.InUse();
    if (IsOpenHandle(met.handle)) {
        result = attempt(met.handle, met.opening);
    }
    return met;
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

// What the serial reader knows of the port handle it reads.
struct PortWatch {
    std::optional<unsigned> opening;  // of the port handle
    // The driver signals received bytes and line changes. Wine's pty
    // refuses WaitCommEvent (ERROR_NOT_SUPPORTED); a read left pending then
    // returns as soon as bytes arrive, with the same time-outs.
    bool events = false;
    // After the driver signalled received bytes: it signals once for any
    // number of them, so the reader reads until a read finds none left.
    bool draining = false;
};

// Waits for the port's next event and takes what it brought: line changes
// are looked at, line errors cleared, received bytes read. A count of 0
// with ok means nothing to relay this time.
Transfer NextFromPort(RelayContextRecord& context, PortWatch& watch, HANDLE port, unsigned opening,
                      BYTE* buffer, HANDLE event) {
    if (watch.opening != opening) {
        watch.opening = opening;
        watch.events = CommEvents.setMask(port, kCommEvents) != FALSE;
        // Bytes that came before the mask was set raised no event: the
        // first look reads what is queued already.
        watch.draining = watch.events;
        ModemMonitor(context, port);
    }
    if (watch.events && !watch.draining) {
        OVERLAPPED overlapped = OverlappedWith(event);
        DWORD mask = 0;
        if (!CommEvents.wait(port, &mask, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
            watch.events = false;  // this driver cannot wait for events
            return {true, 0, ERROR_SUCCESS};
        }
        // A line change during the rest after a report is looked at when
        // the rest ends; otherwise nothing wakes this thread but the port.
        const HANDLE events[] = {overlapped.hEvent, context.stop.Get()};
        DWORD waited;
        for (;;) {
            const std::int64_t due = ModemLookDueIn(context.modemWatch, GetTickCount());
            waited = WaitForMultipleObjects(2, events, FALSE,
                                            due < 0 ? INFINITE : static_cast<DWORD>(due));
            if (waited != WAIT_TIMEOUT) {
                break;
            }
            ModemMonitor(context, port);
        }
        if (waited != WAIT_OBJECT_0) {
            CommEvents.cancel(port, &overlapped);
        }
        DWORD unused = 0;
        if (!GetOverlappedResult(port, &overlapped, &unused, TRUE)) {
            return {false, 0, GetLastError()};
        }
        if (mask == 0) {
            watch.events = false;
        }
        if ((mask & (EV_DSR | EV_RLSD)) != 0) {
            ModemMonitor(context, port);
        }
        if ((mask & EV_ERR) != 0) {
            std::uint32_t errors = 0;
            if (ClearLineErrors(port, &errors)) {
                CountLineErrors(context, errors);
            }
        }
        if ((mask & EV_RXCHAR) == 0) {
            return {true, 0, ERROR_SUCCESS};
        }
        watch.draining = true;
    }
    // The time-outs make a read take what the driver holds without waiting.
    const Transfer read = Read(context, port, buffer, kRelayChunkSize, event);
    watch.draining = watch.events && read.ok && read.count > 0;
    return read;
}

}  // namespace

void AddTraffic(RelayContextRecord& context, TrafficCounter counter, DWORD n) {
    AddToCounter(context.traffic.TrafficCounters, counter, n);
    RequestRefresh(context, NoteCounterChange(context.traffic.activity));
}

DWORD WINAPI PipeToSerialPump(LPVOID argument) {
    auto& context = *static_cast<RelayContextRecord*>(argument);
    const UniqueKernelHandle event(NewEvent(true));
    BYTE buffer[kRelayChunkSize];
    for (;;) {
        Transfer read{};
        const EndInUse pipe = TryEnd(context.pipe, read, [&](HANDLE handle, unsigned) {
            return Read(context, handle, buffer, kRelayChunkSize, event.Get());
        });
        if (Stopping(context)) {
            // A chunk that came with the stop is counted, as going nowhere.
            if (read.ok && read.count > 0) {
                AddToCounter(context.traffic.TrafficCounters, VirtualReceived, read.count);
                Discard(context, RelayDirection::FromPipe, DiscardReason::Stopped, read.count,
                        false);
            }
            return 0;
        }
        if (!IsOpenHandle(pipe.handle) || !read.ok) {
            // ERROR_OPERATION_ABORTED: the keeper took the handle away.
            if (IsOpenHandle(pipe.handle) && read.error != ERROR_OPERATION_ABORTED) {
                // The virtual machine went away (shut down, restarted): its
                // keeper waits for the pipe to come back.
                ReportSystemError(context.status, L"Error reading from pipe: ", read.error,
                                  nullptr);
                ReportEndLost(context, LinkSide::Pipe, pipe, read.error, true);
            }
            if (!WaitForEndBack(context, LinkSide::Pipe)) {
                return 0;
            }
            continue;
        }
        if (read.count > 0) {
            AddTraffic(context, VirtualReceived, read.count);
            TraceChunk(context.trace, TraceDirection::VmToDevice, buffer, read.count);
            WriteToSerial(context, buffer, read.count);
        }
    }
}

void WriteToSerial(RelayContextRecord& context, const BYTE* bytes, DWORD length) {
    RequestRefresh(context,
                   NoteLampChunk(context.traffic.activity, ActivityLamp::SerialSend, length));
    DWORD sent = 0;
    Transfer write{true, 0, ERROR_SUCCESS};
    EndInUse met;
    bool portGone = false;
    {
        SharedLinkUse serial(context.serial);
        met = serial.InUse();
        const HANDLE port = met.handle;
        if (!IsOpenHandle(port)) {
            NoteDiscardedWhileAway(context, LinkSide::Serial, length);
            return;
        }
        // A driver whose output queue is full completes a write with part of
        // it; the rest follows.
        while (sent < length) {
            write = Write(context, port, bytes + sent, length - sent, context.serialWritten.Get());
            sent += write.count;
            if (write.ok) {
                if (write.count == 0 && StoppedWithin(context, kEmptyReadPauseMs)) {
                    break;
                }
                continue;
            }
            bool hadErrors = false;
            if (DriverAborted(context, write) && ClearAbortingLine(context, port, hadErrors) &&
                hadErrors) {
                continue;
            }
            break;
        }
        if (!write.ok && !Stopping(context) && !IsEndAway(context, LinkSide::Serial)) {
            portGone = !SerialPortAnswers(port);
        }
    }
    if (sent > 0) {
        AddTraffic(context, SerialSent, sent);
    }
    const DWORD rest = length - sent;
    if (rest == 0) {
        return;
    }
    if (Stopping(context)) {
        Discard(context, RelayDirection::FromPipe, DiscardReason::Stopped, rest, false);
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

DWORD WINAPI SerialToPipePump(LPVOID argument) {
    auto& context = *static_cast<RelayContextRecord*>(argument);
    const UniqueKernelHandle event(NewEvent(true));
    BYTE buffer[kRelayChunkSize];
    PortWatch watch;
    for (;;) {
        Transfer read{};
        const EndInUse met = TryEnd(context.serial, read, [&](HANDLE handle, unsigned opening) {
            return NextFromPort(context, watch, handle, opening, buffer, event.Get());
        });
        const HANDLE port = met.handle;
        if (Stopping(context)) {
            if (read.ok && read.count > 0) {
                AddToCounter(context.traffic.TrafficCounters, SerialReceived, read.count);
                Discard(context, RelayDirection::FromPort, DiscardReason::Stopped, read.count,
                        false);
            }
            return 0;
        }
        if (IsOpenHandle(port) && DriverAborted(context, read)) {
            // Not the keeper: the driver aborts on line errors. Cleared, it
            // reads again; one that no longer answers is gone.
            bool hadErrors = false;
            if (ClearAbortingLine(context, port, hadErrors)) {
                if (!hadErrors && StoppedWithin(context, kEmptyReadPauseMs)) {
                    return 0;
                }
                continue;
            }
            ReportEndLost(context, LinkSide::Serial, met, read.error, true);
        }
        if (!IsOpenHandle(port) || (!read.ok && read.error == ERROR_OPERATION_ABORTED)) {
            // Away, or just taken away by its keeper.
            if (!WaitForEndBack(context, LinkSide::Serial)) {
                return 0;
            }
            continue;
        }
        if (!read.ok) {
            // A failure that does not repeat at once is read past; one that
            // repeats (throttled), or that leaves the driver silent, means
            // the port is gone, as when a USB adapter is unplugged.
            const bool written =
                ReportSystemError(context.status, L"Error reading from serial port: ", read.error,
                                  L"\n") == ReportResult::Written;
            bool answers;
            {
                SharedLinkUse serial(context.serial);
                answers = serial.Handle() == port && serial.Opening() == met.opening &&
                          SerialPortAnswers(port);
            }
            if (!written || !answers) {
                ReportEndLost(context, LinkSide::Serial, met, read.error, true);
                if (!WaitForEndBack(context, LinkSide::Serial)) {
                    return 0;
                }
            }
            continue;
        }
        if (read.count == 0) {
            if (!watch.events &&
                WaitForSingleObject(context.stop.Get(), kEmptyReadPauseMs) == WAIT_OBJECT_0) {
                return 0;
            }
            continue;
        }
        AddToCounter(context.traffic.TrafficCounters, SerialReceived, read.count);
        TraceChunk(context.trace, TraceDirection::DeviceToVm, buffer, read.count);
        RequestRefresh(context, NoteLampChunk(context.traffic.activity, ActivityLamp::SerialReceive,
                                              read.count));
        WriteToPipe(context, buffer, read.count);
    }
}

void WriteToPipe(RelayContextRecord& context, const BYTE* bytes, DWORD length) {
    DWORD sent = 0;
    Transfer write{true, 0, ERROR_SUCCESS};
    EndInUse met;
    {
        SharedLinkUse link(context.pipe);
        met = link.InUse();
        const HANDLE pipe = met.handle;
        if (!IsOpenHandle(pipe)) {
            NoteDiscardedWhileAway(context, LinkSide::Pipe, length);
            return;
        }
        // A write to a full pipe waits until the virtual machine has read
        // enough; the pipe is not flushed, since a flush waits for it to
        // read every chunk. One that took nothing is made again shortly.
        while (sent < length) {
            write = Write(context, pipe, bytes + sent, length - sent, context.pipeWritten.Get());
            sent += write.count;
            if (!write.ok || (write.count == 0 && StoppedWithin(context, kEmptyReadPauseMs))) {
                break;
            }
        }
    }
    if (sent > 0) {
        AddTraffic(context, VirtualSent, sent);
    }
    const DWORD rest = length - sent;
    if (rest == 0) {
        return;
    }
    if (Stopping(context)) {
        Discard(context, RelayDirection::FromPort, DiscardReason::Stopped, rest, false);
        return;
    }
    if (write.error == ERROR_OPERATION_ABORTED || IsEndAway(context, LinkSide::Pipe)) {
        // Its keeper took the pipe away.
        NoteDiscardedWhileAway(context, LinkSide::Pipe, rest);
        return;
    }
    ReportSystemError(context.status, L"Error writing to pipe: ", write.error, L"\n");
    // The virtual machine went away while its reader here waits on the
    // COM port: its keeper is told from this side.
    if (IsPipeGone(write.error)) {
        ReportEndLost(context, LinkSide::Pipe, met, write.error, false);
        NoteDiscardedWhileAway(context, LinkSide::Pipe, rest);
        return;
    }
    ReportBytesLeftBehind(context.status, rest);
    Discard(context, RelayDirection::FromPort, DiscardReason::WriteFailed, rest, false);
}
