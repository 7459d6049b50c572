// Every message box of the program goes through here, so that the integration
// tests can see the boxes (caption, text, style) without a person to close them.
#pragma once

#include <windows.h>

using MessageBoxFunction = int(WINAPI*)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// MessageBoxW unless a test has put its own function here.
extern MessageBoxFunction ShowMessageBoxHook;

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);

// A plain box captioned "Error": a step of start-up that failed.
void ShowErrorBox(const wchar_t* text);
// The system's text for error under the given caption.
void ShowSystemErrorBox(DWORD error, const wchar_t* caption);
