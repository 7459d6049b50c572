// The program's main window: link and line settings, counters, lamps, the
// status line and the Messages pane; and the splash shown before it.
#pragma once

#include <windows.h>

#include <string>

#include "common/status_client.h"
#include "relay/bridge.h"
#include "relay/relay_activity.h"

struct IndicatorIconSet {
    HICON receiveDark;  // 156
    HICON receiveLit;   // 155
    HICON sendDark;     // 158
    HICON sendLit;      // 157
    HICON carrierDark;  // 166
    HICON carrierLit;   // 167
    HICON dataSetDark;  // 168
    HICON dataSetLit;   // 169
};
// Loaded once by start-up and kept for the life of the process.
extern IndicatorIconSet IndicatorIcons;
void LoadIndicatorIcons(HINSTANCE instance);

// Null until the status window exists.
extern HWND StatusWindow;

// The status client's way to a window. The window's own thread hands over
// at once; any other thread posts (a text as a copy the window frees), so
// that no relay, keeper or writer thread ever waits for a window thread that
// may be waiting for it, except for the COM name, the line fields and a
// viewer's traffic, which are sent. A copy the window can no longer take is
// dropped; the log file and the viewers have the text all the same.
class WindowSink : public StatusSink {
public:
    explicit WindowSink(HWND window) : window_(window) {}
    bool Deliver(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    HWND window_;
};

// The splash picture, for a few seconds; the thread serves nothing meanwhile.
void ShowSplash(HINSTANCE instance, int showCommand);

// Creates and shows the status window (modeless, no owner) on bridge, which
// must outlive it, lets the bridge's status client reach it, and writes the
// first Messages entries unless the bridge runs elsewhere. The window shows
// the bridge's counters and lamps while it relays in this process, and its
// settings are those the settings dialog edits. caption replaces "Vantrel"
// when given. False after telling the user it could not be made.
bool CreateStatusWindow(HINSTANCE instance, int showCommand, Bridge& bridge,
                        const wchar_t* caption = nullptr, bool announceStart = true);
// Serves the thread's windows until a quit message; the exit code it gives.
int RunStatusWindow();

// Fills the link and line fields from the open COM port and the bridge's
// PortSettings, which take the rate the port reports.
void ShowLineSettings(Bridge& bridge, HANDLE port);

// The link and line fields as a bridge has them.
struct LineFields {
    const wchar_t* serialPort;
    const wchar_t* pipeName;
    unsigned long baudRate;
    unsigned char parity;
    unsigned char dataBits;
    unsigned char stopBits;
    unsigned char flowControl;
};
void ShowLineFields(const LineFields& fields);

// What Reset and a saved Change settings do when the bridge shown runs in
// the service: set by its viewer. Left null, the window acts on its own.
// The trace of the relay this process runs: set by start-up, which gives
// the window's system menu "Start trace..." and "Stop trace".
struct StatusWindowActions {
    void (*reset)();
    void (*settingsSaved)();
    bool (*startTrace)(Bridge& bridge, const wchar_t* path);
    void (*stopTrace)(Bridge& bridge);
    bool (*tracing)(Bridge& bridge);
    // The folder the Save As dialog of "Start trace..." opens in; null: the
    // user's own (%LOCALAPPDATA%\Vantrel).
    std::wstring (*traceFolder)();
};
extern StatusWindowActions WindowActions;

// System menu commands (the low four bits are the system's).
inline constexpr UINT kStartTraceCommand = 0x0010;
inline constexpr UINT kStopTraceCommand = 0x0020;

INT_PTR CALLBACK StatusDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Window thread: carries out one append to the Messages pane. When the pane
// would pass its limit, the oldest whole lines go first.
void AppendToPane(HWND pane, const wchar_t* text);

// Window thread: shows the counters and lights the lamps the relay left word
// of (see relay_activity.h); only what changed is repainted. False when there
// was nothing new.
bool ApplyRelayActivity();

// Timer callbacks that put the serial lamps back to rest.
void CALLBACK ClearReceiveIndicator(HWND window, UINT message, UINT_PTR timerId, DWORD time);
void CALLBACK ClearSendIndicator(HWND window, UINT message, UINT_PTR timerId, DWORD time);

inline constexpr UINT_PTR kReceiveLampTimer = 1;
inline constexpr UINT_PTR kSendLampTimer = 2;
// While bytes flow the window shows them at this steady rate, ten times a
// second, however often the relay records a chunk; the first activity after
// a quiet spell starts the timer, a tick that finds nothing new ends it.
inline constexpr UINT_PTR kRefreshTimer = 3;
inline constexpr UINT kRefreshMs = 100;
