// Opening the COM port and putting the configured line on it.
#pragma once

#include <windows.h>

#include <cstdint>

#include "config/settings_record.h"

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

// Opens the port named in PortSettings, retrying through the connection
// failure dialog until it opens (or the user exits there), then sets up the
// line. INVALID_HANDLE_VALUE after a failed set-up, the port closed again.
HANDLE OpenSerialPort();

// CreateFileW on the port: exclusive, synchronous.
HANDLE OpenPortDevice(const wchar_t* name);

enum class LineSetupResult {
    Done,
    StateNotSet,  // GetCommState, SetCommState or SetCommTimeouts failed
    NotPurged,    // PurgeComm failed
};

// Line settings and flow control from settings, the relay's time-outs, and
// both driver buffers emptied.
LineSetupResult SetUpSerialLine(HANDLE port, const PortSettingsRecord& settings);

// The DCB's 32-bit flag word (fBinary ... fDummy2), read and written whole.
std::uint32_t ReadDcbFlags(const DCB& dcb);
void WriteDcbFlags(DCB& dcb, std::uint32_t flags);
