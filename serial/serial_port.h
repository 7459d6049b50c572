// The COM port end: opening it, putting the configured line on it, and what
// the relay asks of the driver. Silent attempts that say what happened.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "config/settings_record.h"
#include "serial/com_ports.h"

// The driver calls of the line set-up. Tests replace them to see the exact
// line state written (a pty ignores data bits and parity) and to make the
// driver refuse it, which Wine cannot be made to do.
struct SerialSetupCalls {
    decltype(&GetCommState) getState;
    decltype(&SetCommState) setState;
    decltype(&GetCommTimeouts) getTimeouts;
    decltype(&SetCommTimeouts) setTimeouts;
    decltype(&PurgeComm) purge;
};
extern SerialSetupCalls SerialSetup;

// GetCommModemStatus unless a test supplies the lines: on a pty under Wine
// the call always fails.
extern decltype(&GetCommModemStatus) ModemStatusSource;

// The driver's events, its error state and the cancelling of a wait, which a
// test supplies where Wine's pty cannot show them (it refuses WaitCommEvent
// and never reports a line error).
struct CommEventCalls {
    decltype(&SetCommMask) setMask;
    decltype(&WaitCommEvent) wait;
    decltype(&ClearCommError) clearError;
    decltype(&CancelIoEx) cancel;
};
extern CommEventCalls CommEvents;

// CreateFileW on the port as the user named it ("COM12" opens \\.\COM12):
// exclusive, for overlapped I/O.
HANDLE OpenPortDevice(const wchar_t* name);

enum class LineSetupResult {
    Done,
    NotOpened,    // the port could not be opened (missing, or held by another program)
    StateNotSet,  // GetCommState, SetCommState or SetCommTimeouts failed
    NotPurged,    // PurgeComm failed
};

// Line settings and flow control from settings, the relay's time-outs, and
// both driver buffers emptied.
LineSetupResult SetUpSerialLine(HANDLE port, const PortSettingsRecord& settings);

struct SerialOpenOutcome {
    HANDLE port;  // open and set up; INVALID_HANDLE_VALUE otherwise (nothing left open)
    LineSetupResult result;
    PortChoice choice;  // the COM name tried and the adapter found for it
};

// Opens the port the settings name (or the COM name their adapter has now)
// and sets up its line.
SerialOpenOutcome OpenSerialLine(const PortSettingsRecord& settings);

// The line as the driver has it set up, into record ("Init from hardware").
// False when the port cannot be opened, read or closed again.
bool ReadLineFromPort(PortSettingsRecord& record);

// The modem-status word. False when it cannot be read.
bool ReadModemLines(HANDLE port, std::uint32_t* lines);

// A COM port whose device has gone stops answering its driver: a failure that
// comes with that is a lost port, one without it a passing fault.
bool SerialPortAnswers(HANDLE port);

// Clears the driver's error state (which, where a driver aborts on errors,
// lets its calls work again). False when the driver does not answer; errors
// gets the CE_ bits, queued the bytes waiting in its input queue.
bool ClearLineErrors(HANDLE port, std::uint32_t* errors, std::uint32_t* queued = nullptr);

// The DCB's 32-bit flag word (fBinary ... fDummy2), read and written whole.
std::uint32_t ReadDcbFlags(const DCB& dcb);
void WriteDcbFlags(DCB& dcb, std::uint32_t flags);
