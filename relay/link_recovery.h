// Bringing back a lost end of the relay without the user: the virtual
// machine's pipe after the VM shut down or restarted, the COM port after its
// adapter was unplugged. One keeper thread per end does the work; the relay
// threads only report that an end failed, from a read or from a write, and
// go on (dropping what has nowhere to go), so an end is noticed lost even
// while the thread that reads it waits on the other end. No dialog, and
// Exit works throughout.
#pragma once

#include <windows.h>

#include <cstdint>

#include "app/app_state.h"
#include "config/settings_record.h"

// The settings a lost end is reopened with: copied from PortSettings by
// start-up before the relay threads start, since those threads never read
// PortSettings itself (the settings dialog may be writing it).
extern PortSettingsRecord LinkSettings;
void RememberLinkSettings();

enum class LinkSide { Pipe, Serial };

// Starts the two keeper threads for the ends of context. False when one of
// them could not be started (the relay then runs without recovery).
bool StartLinkKeepers(RelayContextRecord& context);

// From a relay thread, after an operation on handle failed with error in a
// way that means the end is gone. Does nothing when the end has been
// replaced meanwhile or is already being brought back. byReader: the thread
// that reads this end noticed it; when the writing thread noticed first, the
// keeper leaves the reader a moment to meet (and log) the failure itself.
void ReportEndLost(LinkSide side, HANDLE handle, DWORD error, bool byReader);
inline constexpr DWORD kReaderGraceMs = 1000;

// Whether a pipe operation's error means the other end has gone away.
bool IsPipeGone(DWORD error);

// Between a report of the end's loss and its return.
bool IsEndAway(LinkSide side);

// Bytes the relay had to drop because the other end was away.
void NoteDiscardedWhilePipeAway(DWORD count);
void NoteDiscardedWhileSerialAway(DWORD count);

// The status line for both ends: "Connected" only while both are up.
void ShowLinkState();

inline constexpr DWORD kLinkRetryMs = 5000;
