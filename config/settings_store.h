// The registry store of the port settings (HKLM\Software\Orbenwick\Vantrel)
// and the administrator test that gates every change of it. Every operation
// is a silent attempt that says what happened; the caller decides what the
// user sees.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "config/bridge_names.h"
#include "config/settings_record.h"
#include "config/settings_tables.h"

// The registry calls the store makes, so that tests can make one of them fail:
// Wine does not enforce registry permissions, so a refused write cannot be
// produced for real there.
struct RegistryCalls {
    decltype(&RegOpenKeyExW) openKey;
    decltype(&RegCreateKeyExW) createKey;
    decltype(&RegGetValueW) getValue;
    decltype(&RegSetValueExW) setValue;
};
extern RegistryCalls Registry;

struct StoreReadOutcome {
    // The record holds what the store holds (or, under "Init from hardware",
    // the names: the line is to come from the port).
    bool read;
    bool initFromHardware;
    // When not read: the value whose read failed and its status; null when
    // there is no store at all.
    const StoredSetting* failedValue;
    LONG status;
};

// Reads the store into record, value by value in the store's order; a value
// read before a failure stays in the record.
StoreReadOutcome ReadSettingsStore(PortSettingsRecord& record, const StoreLocation& store);

// A failed step of writing the store: its code ("WR-150", "WB-120"), the
// phrase of its text and the registry's status. code is null when all went.
struct StoreWriteOutcome {
    const wchar_t* code;
    const wchar_t* phrase;
    LONG status;
};

// Creates Software\Orbenwick and the store's key; stops at the first step
// that fails.
StoreWriteOutcome CreateStoreKeys(const StoreLocation& store);
// Writes the whole record; stops at the first value that fails.
StoreWriteOutcome WriteSettingsStore(const PortSettingsRecord& record, const StoreLocation& store);

// "Serial port" alone: the COM name a followed adapter has now, for display
// and for earlier releases.
LONG WriteStoredPortName(const StoreLocation& store, const wchar_t* name);
// "Device" alone (an empty identity deletes it), for --set-device.
LONG WriteStoredDevice(const StoreLocation& store, const wchar_t* identity);

bool StoreExists(const StoreLocation& store);
// A REG_SZ value of the store ("Trace file"); empty when there is none.
std::wstring ReadStoredText(const StoreLocation& store, const wchar_t* valueName);

// The named bridges, as their keys under Bridges are named (valid names only).
std::vector<std::wstring> ListBridges();
// A new bridge's store, with every value at its default. The status of the
// step that failed, or ERROR_SUCCESS.
LONG CreateBridgeStore(const std::wstring& name);
LONG DeleteBridgeStore(const std::wstring& name);

// Arms event for the next change of any bridge's store: the values and
// subkeys of HKLM\Software\Orbenwick\Vantrel and everything under it (or of
// Software\Orbenwick while there is no Vantrel key). The watch lasts while key
// is open and is armed again after each change.
LONG WatchBridgeStores(UniqueRegistryKey& key, HANDLE event);

bool IsUserAdministrator();
