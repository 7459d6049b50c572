#include "config/settings_store.h"

#include <cwchar>

#include "common/handles.h"

RegistryCalls Registry = {RegOpenKeyExW, RegCreateKeyExW, RegGetValueW, RegSetValueExW};

namespace {

LONG OpenKey(HKEY parent, const wchar_t* name, REGSAM access, UniqueRegistryKey& key) {
    const LONG status = Registry.openKey(parent, name, 0, access, key.Put());
    if (status != ERROR_SUCCESS) {
        // Nothing was opened, whatever the call left in the out-handle.
        key.Release();
    }
    return status;
}

LONG CreateKey(HKEY parent, const wchar_t* name, REGSAM access, UniqueRegistryKey& key) {
    const LONG status = Registry.createKey(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           access, nullptr, key.Put(), nullptr);
    if (status != ERROR_SUCCESS) {
        key.Release();
    }
    return status;
}

LONG ReadStoredNumber(HKEY parent, const StoreLocation& store, const wchar_t* valueName,
                      DWORD* value) {
    *value = 0;
    DWORD size = sizeof *value;
    return Registry.getValue(parent, store.subkey.c_str(), valueName, RRF_RT_DWORD, nullptr, value,
                             &size);
}

// A name written without its terminating null, as earlier releases did.
LONG SetText(HKEY key, const wchar_t* valueName, const wchar_t* text) {
    return Registry.setValue(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             static_cast<DWORD>(wcslen(text) * sizeof(wchar_t)));
}

// "Device" is absent unless an adapter is followed.
LONG SetDevice(HKEY key, const wchar_t* identity) {
    if (identity[0] != L'\0') {
        return SetText(key, kDeviceValue, identity);
    }
    const LONG status = RegDeleteValueW(key, kDeviceValue);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

LONG WriteOneValue(const StoreLocation& store, LONG (*write)(HKEY, const wchar_t*),
                   const wchar_t* text) {
    UniqueRegistryKey parent;
    LONG status = OpenKey(HKEY_LOCAL_MACHINE, store.parent.c_str(), KEY_QUERY_VALUE, parent);
    UniqueRegistryKey product;
    if (status == ERROR_SUCCESS) {
        status = OpenKey(parent.Get(), store.subkey.c_str(), KEY_SET_VALUE, product);
    }
    return status == ERROR_SUCCESS ? write(product.Get(), text) : status;
}

constexpr StoreWriteOutcome kWritten = {nullptr, nullptr, ERROR_SUCCESS};

StoreWriteOutcome Failed(const SaveStep& step, LONG status) {
    return {step.code, step.phrase, status};
}

}  // namespace

StoreReadOutcome ReadSettingsStore(PortSettingsRecord& record, const StoreLocation& store) {
    UniqueRegistryKey parent;
    if (OpenKey(HKEY_LOCAL_MACHINE, store.parent.c_str(), KEY_QUERY_VALUE, parent) !=
        ERROR_SUCCESS) {
        return {false, false, nullptr, ERROR_SUCCESS};
    }

    // Names are read up to the record's capacity, so that whatever the
    // settings dialog saves loads back; a longer stored name fails the read.
    for (const StoredSetting& setting : kNameSettings) {
        // One character more than the record holds: a longer name read
        // whole is refused here, on every platform. (Wine cuts a stored name
        // without its terminating null to the buffer; Windows refuses it.)
        wchar_t text[kNameCapacity + 1];
        DWORD size = sizeof text;
        LONG status = Registry.getValue(parent.Get(), store.subkey.c_str(), setting.valueName,
                                        RRF_RT_REG_SZ, nullptr, text, &size);
        if (status == ERROR_SUCCESS && wcslen(text) >= kNameCapacity) {
            status = ERROR_MORE_DATA;
        }
        if (status != ERROR_SUCCESS) {
            return {false, false, &setting, status};
        }
        if (setting.field == SettingField::SerialPort) {
            SetSerialPortName(record, text);
        } else {
            SetPipeName(record, text);
        }
    }
    // Optional: absent, or not a name the record can hold, follows no adapter.
    {
        wchar_t device[kNameCapacity + 1] = {};
        DWORD size = sizeof device - sizeof(wchar_t);
        if (Registry.getValue(parent.Get(), store.subkey.c_str(), kDeviceValue, RRF_RT_REG_SZ,
                              nullptr, device, &size) != ERROR_SUCCESS) {
            device[0] = L'\0';
        }
        SetDeviceIdentity(record, device);
    }

    DWORD initFromHardware = 0;
    if (ReadStoredNumber(parent.Get(), store, kInitFromHardwareValue, &initFromHardware) ==
            ERROR_SUCCESS &&
        initFromHardware != 0) {
        return {true, true, nullptr, ERROR_SUCCESS};
    }

    for (const StoredSetting& setting : kNumericLoadOrder) {
        DWORD value = 0;
        const LONG status = ReadStoredNumber(parent.Get(), store, setting.valueName, &value);
        if (status != ERROR_SUCCESS) {
            return {false, false, &setting, status};
        }
        TakeStoredNumber(record, setting.field, value);
    }
    return {true, false, nullptr, ERROR_SUCCESS};
}

StoreWriteOutcome CreateStoreKeys(const StoreLocation& store) {
    {
        UniqueRegistryKey software;
        UniqueRegistryKey company;
        LONG status = OpenKey(HKEY_LOCAL_MACHINE, kStoreTopKey, KEY_WRITE, software);
        if (status == ERROR_SUCCESS) {
            status = CreateKey(software.Get(), kStoreCompanyKey, KEY_WRITE, company);
        }
        if (status != ERROR_SUCCESS) {
            return {L"WB-110", kBootstrapPhrase, status};
        }
    }
    UniqueRegistryKey parent;
    LONG status = OpenKey(HKEY_LOCAL_MACHINE, store.parent.c_str(), KEY_WRITE, parent);
    if (status != ERROR_SUCCESS) {
        return {L"WB-120", kBootstrapPhrase, status};
    }
    UniqueRegistryKey product;
    status = CreateKey(parent.Get(), store.subkey.c_str(), KEY_QUERY_VALUE, product);
    if (status != ERROR_SUCCESS) {
        return {L"WB-130", kBootstrapPhrase, status};
    }
    return kWritten;
}

StoreWriteOutcome WriteSettingsStore(const PortSettingsRecord& record, const StoreLocation& store) {
    UniqueRegistryKey parent;
    LONG status = OpenKey(HKEY_LOCAL_MACHINE, store.parent.c_str(), KEY_QUERY_VALUE, parent);
    if (status != ERROR_SUCCESS) {
        return Failed(kOpenParentStep, status);
    }
    UniqueRegistryKey product;
    status = CreateKey(parent.Get(), store.subkey.c_str(), KEY_WRITE, product);
    if (status != ERROR_SUCCESS) {
        return Failed(kOpenSubkeyStep, status);
    }
    for (const SaveStep& step : kSaveValueSteps) {
        if (IsNameField(step.field)) {
            status = SetText(
                product.Get(), step.valueName,
                step.field == SettingField::SerialPort ? record.serialPort : record.pipeName);
        } else {
            const DWORD value = StoredNumber(record, step.field);
            status = Registry.setValue(product.Get(), step.valueName, 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&value), sizeof value);
        }
        if (status != ERROR_SUCCESS) {
            return Failed(step, status);
        }
    }
    if (const LONG deviceStatus = SetDevice(product.Get(), record.device);
        deviceStatus != ERROR_SUCCESS) {
        return Failed(kDeviceSaveStep, deviceStatus);
    }
    return kWritten;
}

LONG WriteStoredPortName(const StoreLocation& store, const wchar_t* name) {
    return WriteOneValue(
        store,
        [](HKEY key, const wchar_t* text) {
            return SetText(key, kNameSettings[0].valueName, text);
        },
        name);
}

LONG WriteStoredDevice(const StoreLocation& store, const wchar_t* identity) {
    return WriteOneValue(store, SetDevice, identity);
}

bool StoreExists(const StoreLocation& store) {
    UniqueRegistryKey key;
    return OpenKey(HKEY_LOCAL_MACHINE, (store.parent + L"\\" + store.subkey).c_str(),
                   KEY_QUERY_VALUE, key) == ERROR_SUCCESS;
}

std::wstring ReadStoredText(const StoreLocation& store, const wchar_t* valueName) {
    const std::wstring path = store.parent + L"\\" + store.subkey;
    wchar_t text[kNameCapacity + 1] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), valueName, RRF_RT_REG_SZ, nullptr, text,
                     &size) != ERROR_SUCCESS) {
        return {};
    }
    return text;
}

std::vector<std::wstring> ListBridges() {
    std::vector<std::wstring> names;
    UniqueRegistryKey bridges;
    if (OpenKey(HKEY_LOCAL_MACHINE, kBridgesKey, KEY_ENUMERATE_SUB_KEYS, bridges) !=
        ERROR_SUCCESS) {
        return names;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        const LONG status =
            RegEnumKeyExW(bridges.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status == ERROR_SUCCESS && IsValidBridgeName(name)) {
            names.emplace_back(name);
        }
    }
    return names;
}

LONG CreateBridgeStore(const std::wstring& name) {
    UniqueRegistryKey key;
    const std::wstring path = std::wstring(kBridgesKey) + L"\\" + name;
    const LONG status = CreateKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WRITE, key);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    PortSettingsRecord defaults{};
    ApplyDefaultSettings(defaults);
    return WriteSettingsStore(defaults, BridgeStore(name)).status;
}

LONG WatchBridgeStores(UniqueRegistryKey& key, HANDLE event) {
    const std::wstring product = std::wstring(kStoreParentKey) + L"\\" + kStoreSubkey;
    LONG status = OpenKey(HKEY_LOCAL_MACHINE, product.c_str(), KEY_NOTIFY, key);
    if (status == ERROR_FILE_NOT_FOUND) {
        status = OpenKey(HKEY_LOCAL_MACHINE, kStoreParentKey, KEY_NOTIFY, key);
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return RegNotifyChangeKeyValue(
        key.Get(), TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, event, TRUE);
}

LONG DeleteBridgeStore(const std::wstring& name) {
    const std::wstring path = std::wstring(kBridgesKey) + L"\\" + name;
    // The key goes with its tree; should it stay behind empty, it goes after.
    const LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const LONG left = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    return left == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : left;
}
