// The client side of a status window, which any thread may call: entries for
// the Messages pane, the status line, the modem lamps and word of relay
// activity, all as window messages (app_messages.h), while a window is
// attached. The Messages also go to the bridge's log file, and for a bridge
// of the service, whose window is a viewer in another process, everything
// is kept for that viewer.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/error_throttle.h"
#include "common/log_file.h"

// What a viewer of a bridge without a window of its own is shown.
struct ViewState {
    SRWLOCK lock = SRWLOCK_INIT;
    std::wstring statusLine;
    std::wstring serialPort;  // the COM name a followed adapter has now; empty: as configured
    bool carrier = false;
    bool dataSet = false;
    // The newest Messages, at most kViewMessagesLimit characters, and the
    // count of characters ever appended, which ends them: a viewer asks for
    // what came after the count it last saw.
    std::wstring messages;
    std::uint64_t messagesEnd = 0;
};
inline constexpr std::size_t kViewMessagesLimit = 64 * 1024;

// How a bridge's status reaches a window: ui/ installs one for its status
// window. Any thread calls it, with one of the messages of app_messages.h;
// for those that carry text (the Messages, the status line) lParam is the
// text, which the sink copies when it cannot hand it over at once. False
// when the window could not take it.
struct StatusSink {
    virtual bool Deliver(UINT message, WPARAM wParam, LPARAM lParam) = 0;

protected:
    ~StatusSink() = default;
};

// Where one bridge's messages go, with the throttle of its error entries.
// The pointers are set before any thread uses the record.
struct StatusClient {
    std::atomic<StatusSink*> window{nullptr};
    ErrorThrottleRecord ErrorThrottle;
    LogFile* file = nullptr;
    ViewState* view = nullptr;
    // For a bridge of the service: its name in the event log.
    const wchar_t* eventName = nullptr;
};

// Appends text at the end of the pane. The whole piece is added by the window
// thread in one step, so pieces from several threads never split or land
// inside each other.
void AppendLog(StatusClient& status, const wchar_t* text);

// The local date and time prefix of an entry, cut to capacity.
void FormatTimestamp(wchar_t* buffer, std::size_t capacity);

// Appends the time-stamp prefix (capacity as the entry's writer gives it)
// followed by the pieces, as one piece, so that entries made at the same
// moment by two threads stay whole lines.
void AppendLogEntry(StatusClient& status, const wchar_t* const* pieces, std::size_t count,
                    std::size_t prefixCapacity = 50);
void AppendLogEntry(StatusClient& status, const wchar_t* text, std::size_t prefixCapacity = 50);

bool IsSuppressed(StatusClient& status, DWORD code);
void MarkReported(StatusClient& status, DWORD code);

enum class ReportResult { Written, Suppressed };

// One relay error entry: prefix, label, the system's text for code and the
// line end (may be null), unless the same code was reported less than 10 s ago.
ReportResult ReportSystemError(StatusClient& status, const wchar_t* label, DWORD code,
                               const wchar_t* lineEnd);

// The one-line status text.
void SetStatusLine(StatusClient& status, const wchar_t* text);

// The COM name the bridge's port has now (a followed adapter's new name).
void ShowSerialPort(StatusClient& status, const wchar_t* name);

// Lights (on) or darkens the DCD (carrier) or DSR lamp.
void ShowModemLamp(StatusClient& status, bool carrier, bool on);

// Asks the window for one refresh of counters and lamps. False when it could
// not be asked (no window, or its queue is full).
bool PostRelayActivity(StatusClient& status);

// The event-log record of a bridge of the service; nothing for the others.
enum class BridgeEvent {
    EndLost,
    EndBack,
    SettingsError,
    ServiceStarted,
    ServiceStopped,
    ViewerPipeProblem  // the service's: why status windows cannot reach it
};
void ReportBridgeEvent(StatusClient& status, BridgeEvent event, const wchar_t* text);

// One entry: what failed, ": " and the system's text for error.
void AppendFailureEntry(StatusClient& status, const std::wstring& what, DWORD error);

// Reports a failure of the log file, once for a run of failures, in the
// Messages (log_file.h).
void ReportLogFileFailure(void* status, const std::wstring& path, DWORD error);
