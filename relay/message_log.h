// The Messages pane of the status window, and the throttled relay error entry.
#pragma once

#include <windows.h>

#include <cstddef>

// Private messages of the status window. WM_APP, not WM_USER: dialog
// procedures receive WM_USER-based messages of the dialog manager.
inline constexpr UINT kAppendLogMessage = WM_APP + 1;      // lParam: the text
inline constexpr UINT kRelayActivityMessage = WM_APP + 2;  // counters or lamps changed

// Appends text at the end of the pane, from any thread. The whole piece is
// added by the window thread in one step, so pieces from several threads
// never split or land inside each other. No effect before the window exists.
void AppendLog(const wchar_t* text);

// Window thread: carries out one append (the handler of kAppendLogMessage).
// When the pane would pass its limit, the oldest whole lines go first.
void AppendToPane(HWND pane, const wchar_t* text);

// The local date and time prefix of an entry, cut to capacity.
void FormatTimestamp(wchar_t* buffer, std::size_t capacity);

bool IsSuppressed(DWORD code);
void MarkReported(DWORD code);

enum class ReportResult { Written, Suppressed };

// One relay error entry: prefix, label, the system's text for code and the
// line end (may be null), unless the same code was reported less than 10 s ago.
ReportResult ReportSystemError(const wchar_t* label, DWORD code, const wchar_t* lineEnd);

// Appends the time-stamp prefix (capacity as the entry's writer gives it)
// followed by text. The entry goes in as one piece, so that entries made at
// the same moment by two threads stay whole lines.
void AppendLogEntry(const wchar_t* text, std::size_t prefixCapacity = 50);
void AppendLogEntry(const wchar_t* const* pieces, std::size_t count,
                    std::size_t prefixCapacity = 50);
