// Threads: PipeToSerialPump reads the pipe and writes the COM port;
// SerialToPipePump reads the COM port and writes the pipe. Each is the only
// thread that reads its end, and the one that recovers that end when it is
// lost (link_recovery.h); it uses the other end's handle under that end's
// shared lock. Neither waits for the window: counters and lamps are left in
// atomics (relay_activity.h) and a refresh is posted; only log entries, which
// are rare, are sent synchronously.
#include "relay/relay_pumps.h"

#include <cwchar>

#include "relay/link_recovery.h"
#include "relay/message_log.h"
#include "relay/relay_activity.h"

RelayIoCalls RelayIo = {ReadFile, WriteFile};

namespace {

void RequestRefresh(bool needed) {
    if (!needed) {
        return;
    }
    if (const HWND window = StatusWindow) {
        if (!PostMessageW(window, kRelayActivityMessage, 0, 0)) {
            // The queue is full or the window gone: let the next change ask again.
            BeginRefresh(RelayActivity);
        }
    }
}

void ReportBytesLeftBehind(DWORD written) {
    wchar_t prefix[1024];
    FormatTimestamp(prefix, 1024);
    wchar_t count[16];
    std::swprintf(count, 16, L"%lu", static_cast<unsigned long>(written));
    AppendLog(prefix);
    AppendLog(L"Bytes left behind! ( ");
    AppendLog(count);
    AppendLog(L")\r\n");
}

}  // namespace

void AddTraffic(TrafficCounter counter, DWORD n) {
    AddToCounter(counter, n);
    RequestRefresh(NoteCounterChange(RelayActivity));
}

DWORD WINAPI PipeToSerialPump(LPVOID argument) {
    auto& context = *static_cast<RelayContextRecord*>(argument);
    BYTE buffer[kPipeChunkSize];
    for (;;) {
        // This thread alone replaces the pipe handle, so it reads it unlocked.
        const HANDLE pipe = context.pipe.handle.load(std::memory_order_acquire);
        DWORD read = 0;
        if (!RelayIo.read(pipe, buffer, kPipeChunkSize, &read, nullptr)) {
            const DWORD error = GetLastError();
            if (error == ERROR_NO_DATA) {
                Sleep(kEmptyPipePauseMs);
                continue;
            }
            // The virtual machine went away (shut down, restarted): wait for
            // its pipe to come back, without a dialog.
            ReportSystemError(L"Error reading from pipe: ", error, nullptr);
            RecoverPipe(context);
            continue;
        }
        if (read == 0) {
            continue;
        }
        AddTraffic(VirtualReceived, read);
        WriteToSerial(context, buffer, read);
    }
}

void WriteToSerial(RelayContextRecord& context, const BYTE* bytes, DWORD length) {
    RequestRefresh(NoteLampChunk(RelayActivity, ActivityLamp::SerialSend, length));
    DWORD written = 0;
    BOOL ok;
    DWORD error = ERROR_SUCCESS;
    {
        SharedLinkUse serial(context.serial);
        const HANDLE port = serial.Handle();
        if (!IsOpenHandle(port)) {
            NoteDiscardedWhileSerialAway(length);
            return;
        }
        ok = RelayIo.write(port, bytes, length, &written, nullptr);
        if (!ok) {
            error = GetLastError();
        }
    }
    if (ok) {
        AddTraffic(SerialSent, written);
    } else if (error != ERROR_IO_PENDING) {
        ReportSystemError(L"Error writing to serial port: ", error, L"\n");
    }
}

DWORD WINAPI SerialToPipePump(LPVOID argument) {
    auto& context = *static_cast<RelayContextRecord*>(argument);
    BYTE buffer[kSerialChunkSize];
    DWORD lastHealthCheck = GetTickCount();
    for (;;) {
        // This thread alone replaces the COM-port handle.
        const HANDLE port = context.serial.handle.load(std::memory_order_acquire);
        DWORD read = 0;
        if (!RelayIo.read(port, buffer, kSerialChunkSize, &read, nullptr)) {
            const DWORD error = GetLastError();
            // A failure that does not repeat at once is read past; one that
            // repeats (throttled) means the port is gone, as when a USB
            // adapter is unplugged.
            if (ReportSystemError(L"Error reading from serial port: ", error, L"\n") ==
                ReportResult::Written) {
                continue;
            }
            RecoverSerial(context, error);
            continue;
        }
        if (read == 0) {
            // A port whose device has gone does not always fail its reads
            // (a hung-up tty under Wine reads as empty): ask the driver now
            // and then while the line is quiet.
            if (GetTickCount() - lastHealthCheck >= kSerialHealthCheckMs) {
                lastHealthCheck = GetTickCount();
                DWORD errors = 0;
                if (!ClearCommError(port, &errors, nullptr)) {
                    RecoverSerial(context, GetLastError());
                }
            }
            continue;
        }
        AddToCounter(SerialReceived, read);
        RequestRefresh(NoteLampChunk(RelayActivity, ActivityLamp::SerialReceive, read));
        WriteToPipe(context, buffer, read);
    }
}

void WriteToPipe(RelayContextRecord& context, const BYTE* bytes, DWORD length) {
    DWORD sent = 0;
    DWORD error = ERROR_SUCCESS;
    {
        SharedLinkUse link(context.pipe);
        const HANDLE pipe = link.Handle();
        if (!IsOpenHandle(pipe)) {
            NoteDiscardedWhilePipeAway(length);
            return;
        }
        // A non-blocking pipe takes a write only when all of it fits, so a
        // write that found no room is tried again after a pause with half
        // as much, down to one byte, until everything has gone.
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
        if (sent == length) {
            FlushFileBuffers(pipe);
        }
    }
    if (sent > 0) {
        AddTraffic(VirtualSent, sent);
    }
    if (sent < length) {
        if (sent > 0) {
            ReportBytesLeftBehind(sent);
        }
        ReportSystemError(L"Error writing to pipe: ", error, L"\n");
    }
}
