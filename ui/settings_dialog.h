// Where an administrator edits the port settings and saves them to the store.
#pragma once

#include <windows.h>

// Modal, no owner, on the user-interface thread. Callers check
// IsUserAdministrator first.
void RunSettingsDialog();

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void InitSettingsDialog(HWND dialog);
void ApplySettingsDialog(HWND dialog);

// How often Save changes was pressed: whoever opened the dialog can tell
// whether the settings were saved.
extern unsigned SettingsSaves;

// The names taken from the dialog: at most 99 characters.
inline constexpr int kDialogNameCapacity = 100;
