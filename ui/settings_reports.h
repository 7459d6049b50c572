// The settings store as the user meets it: loading, the defaults at start-up
// and saving, each showing its own boxes when a step fails.
#pragma once

#include <windows.h>

// Fills PortSettings from the store (or from the COM port under "Init from
// hardware"). False when nothing usable was loaded; every failure but a
// missing store has shown its boxes by then.
bool LoadSettings();
// "Init from hardware": the line from the port into PortSettings, then saved.
bool TakeSettingsFromPort();

// Start-up after a failed load: the defaults, then either a new store
// (administrator) or the "Default config" box and a pending Messages line.
void ApplyStartupDefaults();
// The line ApplyStartupDefaults set aside for the Messages pane, or null.
const wchar_t* TakePendingStartupLine();

void CreateSettingsStore();
// Writes the whole of PortSettings; reports its own failures.
void SaveSettings();
void ShowSaveError(const wchar_t* code, LONG status, const wchar_t* text);
