// The settings store as the user meets it: loading, the defaults at start-up
// and saving, each showing its own boxes when a step fails.
#pragma once

#include <windows.h>

#include "relay/bridge.h"

// Fills the bridge's PortSettings from its store (or from the COM port under "Init from
// hardware"). False when nothing usable was loaded; every failure but a
// missing store has shown its boxes by then.
bool LoadSettings(Bridge& bridge);
// "Init from hardware": the line from the port into PortSettings, then saved.
bool TakeSettingsFromPort(Bridge& bridge);

// Start-up after a failed load: the defaults, then either a new store
// (administrator) or the "Default config" box and a pending Messages line.
void ApplyStartupDefaults(Bridge& bridge);
// The line ApplyStartupDefaults set aside for the Messages pane, or null.
const wchar_t* TakePendingStartupLine();

void CreateSettingsStore(Bridge& bridge);
// Writes the whole of the bridge's PortSettings; reports its own failures.
void SaveSettings(Bridge& bridge);
void ShowSaveError(const wchar_t* code, LONG status, const wchar_t* text);
