// The private messages of the status window: the one way worker threads reach
// it. WM_APP, not WM_USER: dialog procedures receive WM_USER-based messages of
// the dialog manager.
#pragma once

#include <windows.h>

// lParam is the text, a whole piece for the end of the Messages pane. Sent by
// the window's own thread; posted by any other with wParam kOwnedText, the
// text then a new[] copy the window deletes.
inline constexpr UINT kAppendLogMessage = WM_APP + 1;
inline constexpr WPARAM kOwnedText = 1;
// Posted: counters or lamps changed (see relay_activity.h).
inline constexpr UINT kRelayActivityMessage = WM_APP + 2;
// lParam is the new status line; sent or posted as kAppendLogMessage.
inline constexpr UINT kStatusLineMessage = WM_APP + 3;
// Sent by the window's thread, posted by any other: wParam is kCarrierLamp
// or kDataSetLamp, lParam non-zero while the line is on.
inline constexpr UINT kModemLampMessage = WM_APP + 4;
inline constexpr WPARAM kCarrierLamp = 0;
inline constexpr WPARAM kDataSetLamp = 1;
// Sent: lParam is the address of a LineFields (status_window.h).
inline constexpr UINT kLineFieldsMessage = WM_APP + 5;
// Posted: lParam is a text of static lifetime for a warning box over the window.
inline constexpr UINT kNoticeBoxMessage = WM_APP + 6;
// Sent: lParam is the COM name the bridge's followed adapter has now.
inline constexpr UINT kSerialPortMessage = WM_APP + 7;
// Sent: wParam points at the four counters' totals, lParam at each serial lamp's chunk (0: none).
inline constexpr UINT kTrafficMessage = WM_APP + 8;
