// Threads: PipeToSerialPump reads the pipe and writes the COM port;
// SerialToPipePump reads the COM port and writes the pipe. Every use of a
// handle holds that end's lock shared, so that the end's keeper
// (link_recovery.h) can replace a lost handle once nobody uses it. A failed
// read or write that means an end is gone is reported to its keeper; the
// threads go on meanwhile, dropping what has nowhere to go. Neither thread
// waits for the window: counters and lamps are left in atomics
// (relay_activity.h) and a refresh is posted; only log entries, which are
// rare, are sent synchronously.
#include "relay/relay_pumps.h"

#include <cwchar>

#include "relay/link_recovery.h"
#include "relay/relay_activity.h"
#include "serial/serial_port.h"

RelayIoCalls RelayIo = {ReadFile, WriteFile};

namespace {

// While an end is away its reader has nothing to read.
constexpr DWORD kEndAwayPauseMs = 30;

void RequestRefresh(StatusClient& status, bool needed) {
    if (needed && !PostRelayActivity(status)) {
        // No window, its queue is full or it is gone: let the next change ask again.
        BeginRefresh(RelayActivity);
    }
}

void ReportBytesLeftBehind(StatusClient& status, DWORD written) {
    wchar_t count[16];
    std::swprintf(count, 16, L"%lu", static_cast<unsigned long>(written));
    const wchar_t* pieces[] = {L"Bytes left behind! ( ", count, L")\r\n"};
    AppendLogEntry(status, pieces, 3, 1024);
}

struct ReadOutcome {
    HANDLE handle;  // the handle read, INVALID_HANDLE_VALUE while the end is away
    BOOL ok;
    DWORD count;
    DWORD error;
};

ReadOutcome ReadEnd(LinkEnd& end, BYTE* buffer, DWORD size) {
    SharedLinkUse use(end);
    ReadOutcome outcome{use.Handle(), FALSE, 0, ERROR_SUCCESS};
    if (!IsOpenHandle(outcome.handle)) {
        outcome.handle = INVALID_HANDLE_VALUE;
        return outcome;
    }
    outcome.ok = RelayIo.read(outcome.handle, buffer, size, &outcome.count, nullptr);
    if (!outcome.ok) {
        outcome.error = GetLastError();
    }
    return outcome;
}

}  // namespace

void AddTraffic(StatusClient& status, TrafficCounter counter, DWORD n) {
    AddToCounter(counter, n);
    RequestRefresh(status, NoteCounterChange(RelayActivity));
}

DWORD WINAPI PipeToSerialPump(LPVOID argument) {
    auto& context = *static_cast<RelayContextRecord*>(argument);
    BYTE buffer[kPipeChunkSize];
    DWORD lastData = GetTickCount() - kBusyPipeMs;
    // One entry per lost pipe: its failure repeats until the keeper has
    // taken the handle.
    HANDLE loggedLoss = nullptr;
    for (;;) {
        const ReadOutcome read = ReadEnd(context.pipe, buffer, kPipeChunkSize);
        // Handle values are reused: a pipe that is away or answers again
        // clears the mark, so the next loss is logged whatever its handle.
        if (read.handle == INVALID_HANDLE_VALUE) {
            loggedLoss = nullptr;
            Sleep(kEndAwayPauseMs);
            continue;
        }
        if (read.ok || read.error == ERROR_NO_DATA) {
            loggedLoss = nullptr;
        }
        if (!read.ok) {
            if (read.error == ERROR_NO_DATA) {
                // While bytes flow, an empty pipe is a gap between two of the
                // virtual machine's writes: look again at once rather than
                // let up to 30 ms of its output pile up behind a small pipe
                // buffer. Once it has been quiet a while, poll gently.
                Sleep(GetTickCount() - lastData < kBusyPipeMs ? kBusyPipePauseMs
                                                              : kEmptyPipePauseMs);
                continue;
            }
            // The virtual machine went away (shut down, restarted): its
            // keeper waits for the pipe to come back.
            if (read.handle != loggedLoss) {
                loggedLoss = read.handle;
                ReportSystemError(context.status, L"Error reading from pipe: ", read.error,
                                  nullptr);
            }
            ReportEndLost(context, LinkSide::Pipe, read.handle, read.error, true);
            Sleep(kEndAwayPauseMs);
            continue;
        }
        if (read.count == 0) {
            continue;
        }
        lastData = GetTickCount();
        AddTraffic(context.status, VirtualReceived, read.count);
        WriteToSerial(context, buffer, read.count);
    }
}

void WriteToSerial(RelayContextRecord& context, const BYTE* bytes, DWORD length) {
    RequestRefresh(context.status, NoteLampChunk(RelayActivity, ActivityLamp::SerialSend, length));
    DWORD written = 0;
    BOOL ok;
    DWORD error = ERROR_SUCCESS;
    HANDLE port;
    bool portGone = false;
    {
        SharedLinkUse serial(context.serial);
        port = serial.Handle();
        if (!IsOpenHandle(port)) {
            NoteDiscardedWhileAway(context, LinkSide::Serial, length);
            return;
        }
        ok = RelayIo.write(port, bytes, length, &written, nullptr);
        if (!ok) {
            error = GetLastError();
            portGone = error != ERROR_IO_PENDING && !SerialPortAnswers(port);
        }
    }
    if (ok) {
        AddTraffic(context.status, SerialSent, written);
        return;
    }
    if (error == ERROR_IO_PENDING) {
        return;
    }
    // A port already known lost has been reported; its chunks are counted.
    if (!portGone || !IsEndAway(context, LinkSide::Serial)) {
        ReportSystemError(context.status, L"Error writing to serial port: ", error, L"\n");
    }
    if (portGone) {
        ReportEndLost(context, LinkSide::Serial, port, error, false);
        NoteDiscardedWhileAway(context, LinkSide::Serial, length);
    }
}

DWORD WINAPI SerialToPipePump(LPVOID argument) {
    auto& context = *static_cast<RelayContextRecord*>(argument);
    BYTE buffer[kSerialChunkSize];
    DWORD lastHealthCheck = GetTickCount();
    for (;;) {
        const ReadOutcome read = ReadEnd(context.serial, buffer, kSerialChunkSize);
        if (read.handle == INVALID_HANDLE_VALUE) {
            Sleep(kEndAwayPauseMs);
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
                answers = serial.Handle() == read.handle && SerialPortAnswers(read.handle);
            }
            if (!written || !answers) {
                ReportEndLost(context, LinkSide::Serial, read.handle, read.error, true);
                Sleep(kEndAwayPauseMs);
            }
            continue;
        }
        if (read.count == 0) {
            // A port whose device has gone does not always fail its reads
            // (a hung-up tty under Wine reads as empty): ask the driver now
            // and then while the line is quiet.
            if (GetTickCount() - lastHealthCheck >= kSerialHealthCheckMs) {
                lastHealthCheck = GetTickCount();
                SharedLinkUse serial(context.serial);
                if (serial.Handle() == read.handle && !SerialPortAnswers(read.handle)) {
                    ReportEndLost(context, LinkSide::Serial, read.handle, GetLastError(), true);
                }
            }
            continue;
        }
        AddToCounter(SerialReceived, read.count);
        RequestRefresh(context.status,
                       NoteLampChunk(RelayActivity, ActivityLamp::SerialReceive, read.count));
        WriteToPipe(context, buffer, read.count);
    }
}

void WriteToPipe(RelayContextRecord& context, const BYTE* bytes, DWORD length) {
    DWORD sent = 0;
    DWORD error = ERROR_SUCCESS;
    HANDLE pipe;
    {
        SharedLinkUse link(context.pipe);
        pipe = link.Handle();
        if (!IsOpenHandle(pipe)) {
            NoteDiscardedWhileAway(context, LinkSide::Pipe, length);
            return;
        }
        // A non-blocking pipe takes a write only when all of it fits, so a
        // write that found no room is tried again after a pause with half
        // as much, down to one byte, until everything has gone. What the
        // pipe took is delivered; the pipe is not flushed, since a flush
        // waits for the virtual machine to read every chunk and holds the
        // device's side to one 10-byte chunk per round trip through it.
        DWORD piece = length;
        while (sent < length) {
            DWORD written = 0;
            const DWORD attempt = piece < length - sent ? piece : length - sent;
            if (!RelayIo.write(pipe, bytes + sent, attempt, &written, nullptr)) {
                error = GetLastError();
                break;
            }
            sent += written;
            if (written == 0) {
                piece = attempt > 1 ? attempt / 2 : 1;
                Sleep(kPipeFullPauseMs);
            } else {
                piece = length;
            }
        }
    }
    if (sent > 0) {
        AddTraffic(context.status, VirtualSent, sent);
    }
    if (sent < length) {
        const bool gone = IsPipeGone(error);
        // A pipe already known lost has been reported; its chunks are counted.
        if (!gone || !IsEndAway(context, LinkSide::Pipe)) {
            if (sent > 0) {
                ReportBytesLeftBehind(context.status, sent);
            }
            ReportSystemError(context.status, L"Error writing to pipe: ", error, L"\n");
        }
        // The virtual machine went away while its reader here waits on the
        // COM port: its keeper is told from this side.
        if (gone) {
            ReportEndLost(context, LinkSide::Pipe, pipe, error, false);
            NoteDiscardedWhileAway(context, LinkSide::Pipe, length - sent);
        }
    }
}
