// Bringing back a lost end of the relay without the user: the virtual
// machine's pipe after the VM shut down or restarted, the COM port after its
// adapter was unplugged. Runs on the relay thread that lost the end; no
// dialog, and Exit works throughout.
#pragma once

#include <windows.h>

#include "app/app_state.h"
#include "config/settings_record.h"

// The settings a lost end is reopened with: copied from PortSettings by
// start-up before the relay threads start, since those threads never read
// PortSettings itself (the settings dialog may be writing it).
extern PortSettingsRecord LinkSettings;
void RememberLinkSettings();

// Pipe-to-serial thread: closes the pipe, says so, waits for the pipe every
// 5 s and reopens it as start-up does. Returns once it is connected again.
void RecoverPipe(RelayContextRecord& context);
// Serial-to-pipe thread: closes the COM port, says why (error is the failing
// call's code), and reopens it every 5 s with the same line settings.
// Returns once it is open again.
void RecoverSerial(RelayContextRecord& context, DWORD error);

// Bytes the relay had to drop because the other end was away.
void NoteDiscardedWhilePipeAway(DWORD count);
void NoteDiscardedWhileSerialAway(DWORD count);

// The status line for both ends: "Connected" only while both are up.
void ShowLinkState();

inline constexpr DWORD kLinkRetryMs = 5000;
