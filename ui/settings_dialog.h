// Where an administrator edits the port settings and saves them to the store.
#pragma once

#include <windows.h>

#include "relay/bridge.h"

// Modal, no owner, on the user-interface thread. Callers check
// IsUserAdministrator first. Edits and saves the bridge's settings.
void RunSettingsDialog(Bridge& bridge);

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// The dialog's lParam at creation is the bridge.
void InitSettingsDialog(HWND dialog, const PortSettingsRecord& settings);
void ApplySettingsDialog(HWND dialog, Bridge& bridge);

// How often Save changes was pressed: whoever opened the dialog can tell
// whether the settings were saved.
extern unsigned SettingsSaves;

// The names taken from the dialog: at most 99 characters.
inline constexpr int kDialogNameCapacity = 100;
