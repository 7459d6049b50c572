// Bringing back a lost end of the relay without the user: the virtual
// machine's pipe after the VM shut down or restarted, the COM port after its
// adapter was unplugged. One keeper per end does the work, as steps run by
// the process's pool and timers on it; the pumps only report that an end
// failed, from a read or from a write, and go on (dropping what has nowhere
// to go), so an end is noticed lost even while the pump that reads it waits
// on the other end. No dialog, and Exit works throughout.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "pipe/pipe_server_rule.h"
#include "relay/relay_context.h"

// Starts the two keepers for the ends of context. False when the pool could
// not be started (the relay then runs without recovery).
bool StartLinkKeepers(RelayContextRecord& context);

// A relay without a window to ask the user (the service): both ends are
// opened by their keepers, which try again every 5 s while one is missing.
// The keepers run already; the ends are empty.
void OpenEndsUnattended(RelayContextRecord& context);

// From a pump, after an operation on the handle it met failed with
// error in a way that means the end is gone. Does nothing when the end has
// been replaced meanwhile (even by a handle of the same value) or is already
// being brought back. byReader: the pump
// that reads this end noticed it; when the writing pump noticed first, the
// keeper leaves the reader a moment to meet (and log) the failure itself.
void ReportEndLost(RelayContextRecord& context, LinkSide side, const EndInUse& lost, DWORD error,
                   bool byReader);
inline constexpr DWORD kReaderGraceMs = 1000;

// Whether a pipe operation's error means the other end has gone away.
bool IsPipeGone(DWORD error);

// Between a report of the end's loss and its return.
bool IsEndAway(const RelayContextRecord& context, LinkSide side);

// Bytes the relay had to drop because the end they were for was away.
void NoteDiscardedWhileAway(RelayContextRecord& context, LinkSide side, DWORD count);
// One entry for what was noted since the last, when it is not 0: at the end's
// return, and when the relay stops.
void LogDiscardedWhileAway(RelayContextRecord& context, LinkSide side);

// One entry naming the COM ports the host has: "COM ports present: COM1,
// COM4", or "No COM ports present".
void LogPortsPresent(StatusClient& status);

// After an opening of the COM port through choice: the device's instance ID
// for the plug events; a followed adapter's new COM name into settings, the
// store and the window, with one entry ("The adapter A10K2QXY is now COM7");
// once per relay, the notes on an adapter found by its socket and on a
// latency timer above kLowLatencyTimerMs.
void NoteAdapterOpened(RelayContextRecord& context, PortSettingsRecord& settings,
                       const PortChoice& choice);
inline constexpr unsigned long kLowLatencyTimerMs = 2;

// Why no port could be chosen for a followed adapter (missing, two of it,
// "Device" not understood), as one entry; empty when nothing is wrong there.
std::wstring AdapterMissingText(const PortSettingsRecord& settings, const PortChoice& choice);

// The status line for both ends: "Connected" only while both are up.
void ShowLinkState(RelayContextRecord& context);

inline constexpr DWORD kLinkRetryMs = 5000;
// How long the COM port's keeper waits between tries: kLinkRetryMs, which
// tests lengthen to show that a plugged adapter is tried without it.
extern DWORD SerialRetryMs;
inline constexpr DWORD kBusyPipeWaitMs = 1000;

struct PipeOpenOutcome {
    HANDLE pipe;                    // INVALID_HANDLE_VALUE on failure
    DWORD error;                    // the failing call's error code
    const wchar_t* failureCaption;  // the caption of its error box
    bool serverRefused;             // opened, but not served by a virtual machine: look again
};

// Everything after a successful wait for the pipe: logs "Pipe found, creating
// connection...", opens pipePath with its event record, and logs "Connected
// to pipe" (or the failure text). A refused server is logged unless it is the
// one in lastRefused, where it is then kept; while one is there the search
// goes on quietly.
PipeOpenOutcome OpenVmPipe(const wchar_t* pipePath, StatusClient& status,
                           std::optional<PipeServerFacts>* lastRefused = nullptr);
