// The registry store of the port settings (HKLM\Software\Orbenwick\Vantrel)
// and the administrator test that gates every change of it.
#pragma once

#include <windows.h>

// The registry calls the store makes, so that tests can make one of them fail:
// Wine does not enforce registry permissions, so a refused write cannot be
// produced for real there.
struct RegistryCalls {
    decltype(&RegOpenKeyExW) openKey;
    decltype(&RegCreateKeyExW) createKey;
    decltype(&RegGetValueW) getValue;
    decltype(&RegSetValueExW) setValue;
    decltype(&RegCloseKey) closeKey;
};
extern RegistryCalls Registry;

// Fills PortSettings from the store (or from the COM port under "Init from
// hardware"). False when nothing usable was loaded; every failure but a
// missing key has shown its boxes by then.
bool LoadSettings();
// Start-up after a failed load: the defaults, then either a new store
// (administrator) or the "Default config" box and a pending Messages line.
void ApplyStartupDefaults();
// The line ApplyStartupDefaults set aside for the Messages pane, or null.
const wchar_t* TakePendingStartupLine();

void CreateSettingsStore();
// Writes the whole record; reports its own failures.
void SaveSettings();
void ShowSaveError(const wchar_t* code, LONG status, const wchar_t* text);
bool TakeSettingsFromPort();

bool IsUserAdministrator();
