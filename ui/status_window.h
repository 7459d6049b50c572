// The program's main window: link and line settings, counters, lamps, the
// status line and the Messages pane.
#pragma once

#include <windows.h>

// Creates and shows the status window (modeless, no owner) and writes the
// first Messages entries. False after telling the user it could not be made.
bool CreateStatusWindow(HINSTANCE instance, int showCommand);

// Fills the link and line fields from the open COM port and PortSettings.
void ShowLineSettings();

// The one-line status text; from any thread.
void SetStatusLine(const wchar_t* text);

INT_PTR CALLBACK StatusDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Window thread: shows the counters and lights the lamps the relay left word
// of (see relay_activity.h).
void ApplyRelayActivity();

// Timer callbacks that put the serial lamps back to rest.
void CALLBACK ClearReceiveIndicator(HWND window, UINT message, UINT_PTR timerId, DWORD time);
void CALLBACK ClearSendIndicator(HWND window, UINT message, UINT_PTR timerId, DWORD time);

inline constexpr UINT_PTR kReceiveLampTimer = 1;
inline constexpr UINT_PTR kSendLampTimer = 2;
// While it runs, further relay activity waits for it instead of asking for a
// refresh of its own: the window is redrawn at most this often.
inline constexpr UINT_PTR kRefreshHoldTimer = 3;
inline constexpr UINT kRefreshHoldMs = 20;
