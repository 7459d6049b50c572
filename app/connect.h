// Start-up's two connections: each tries until its end is there, offering
// the connection failure dialog between attempts, and reports a failed step
// in a box.
#pragma once

#include <windows.h>

#include "relay/bridge.h"

// Opens the port named in the bridge's PortSettings, retrying through the
// connection failure dialog until it opens (or the user exits there), then
// sets up the line; the bridge's relay record notes the adapter opened.
// INVALID_HANDLE_VALUE after a failed set-up, the port closed again.
HANDLE OpenSerialPort(Bridge& bridge);

// Waits for the pipe named in the bridge's PortSettings, through the connection failure
// dialog while it is absent, and opens it. INVALID_HANDLE_VALUE after a failed
// open, which it has reported in a box. Ends the process when the event
// source cannot be registered.
HANDLE ConnectPipe(Bridge& bridge);
