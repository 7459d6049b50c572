#include "config/settings_store.h"

#include "config/settings_record.h"
#include "config/settings_tables.h"
#include "ui/message_box.h"
#include "ui/system_text.h"

RegistryCalls Registry = {RegOpenKeyExW, RegCreateKeyExW, RegGetValueW, RegSetValueExW,
                          RegCloseKey};

namespace {

// Closes the key it holds on every way out of a scope.
struct RegistryKey {
    HKEY key = nullptr;
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { Close(); }
    void Close() {
        if (key != nullptr) {
            Registry.closeKey(key);
            key = nullptr;
        }
    }
};

// The out-handle is cleared on failure, so that nothing unopened is closed.
LONG OpenKey(HKEY parent, const wchar_t* name, REGSAM access, RegistryKey& key) {
    const LONG status = Registry.openKey(parent, name, 0, access, &key.key);
    if (status != ERROR_SUCCESS) {
        key.key = nullptr;
    }
    return status;
}

LONG CreateKey(HKEY parent, const wchar_t* name, REGSAM access, RegistryKey& key) {
    const LONG status = Registry.createKey(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           access, nullptr, &key.key, nullptr);
    if (status != ERROR_SUCCESS) {
        key.key = nullptr;
    }
    return status;
}

const wchar_t* pendingStartupLine = nullptr;

constexpr wchar_t kFatalErrorCaption[] = L"Fatal error";
constexpr wchar_t kDefaultsNotice[] =
    L"Vantrel has loaded the default confinguration (COM3, 9600, N, 8, 1) because the user that "
    L"launched Vantrel does not have administrative privileges.  To customize the settings "
    L"please restart Vantrel as administrator (right-click and select Run as administrator).";
constexpr wchar_t kHardwareConfigFailure[] =
    L"Couldn't save the hardware configuration to Vantrel registry.  Please run Vantrel as "
    L"administrator to save settings.";

void ReportLoadFailure(LONG status, const wchar_t* valueText) {
    wchar_t systemText[500];
    FormatSystemText(static_cast<DWORD>(status), kSystemLanguage, true, systemText, 500);
    ShowMessageBox(nullptr, systemText, kFatalErrorCaption, MB_OK);
    ShowMessageBox(nullptr, valueText, kFatalErrorCaption, MB_ICONWARNING);
}

LONG ReadStoredNumber(HKEY parent, const wchar_t* valueName, DWORD* value) {
    *value = 0;
    DWORD size = sizeof *value;
    return Registry.getValue(parent, kStoreSubkey, valueName, RRF_RT_DWORD, nullptr, value, &size);
}

void ReportSaveFailure(const SaveStep& step, LONG status) {
    wchar_t text[1000];
    ComposeSaveFailureText(step.phrase, text, 1000);
    ShowSaveError(step.code, status, text);
}

void ReportBootstrapFailure(const wchar_t* code, LONG status) {
    wchar_t text[1000];
    ComposeSaveFailureText(kBootstrapPhrase, text, 1000);
    ShowSaveError(code, status, text);
}

// Creates Software\Orbenwick\Vantrel, reporting the first step that fails.
void CreateStoreKeys() {
    {
        RegistryKey software;
        RegistryKey company;
        LONG status = OpenKey(HKEY_LOCAL_MACHINE, kStoreTopKey, KEY_WRITE, software);
        if (status == ERROR_SUCCESS) {
            status = CreateKey(software.key, kStoreCompanyKey, KEY_WRITE, company);
        }
        if (status != ERROR_SUCCESS) {
            ReportBootstrapFailure(L"WB-110", status);
            return;
        }
    }
    RegistryKey parent;
    LONG status = OpenKey(HKEY_LOCAL_MACHINE, kStoreParentKey, KEY_WRITE, parent);
    if (status != ERROR_SUCCESS) {
        ReportBootstrapFailure(L"WB-120", status);
        return;
    }
    RegistryKey product;
    status = CreateKey(parent.key, kStoreSubkey, KEY_QUERY_VALUE, product);
    if (status != ERROR_SUCCESS) {
        ReportBootstrapFailure(L"WB-130", status);
    }
}

}  // namespace

bool LoadSettings() {
    RegistryKey parent;
    if (OpenKey(HKEY_LOCAL_MACHINE, kStoreParentKey, KEY_QUERY_VALUE, parent) != ERROR_SUCCESS) {
        return false;
    }

    // Names are read up to the record's capacity, so that whatever the
    // settings dialog saves loads back; a longer stored name fails the read.
    for (const StoredSetting& setting : kNameSettings) {
        // One character more than the record holds: a longer name read
        // whole is refused here, on every platform. (Wine cuts a stored name
        // without its terminating null to the buffer; Windows refuses it.)
        wchar_t text[kNameCapacity + 1];
        DWORD size = sizeof text;
        LONG status = Registry.getValue(parent.key, kStoreSubkey, setting.valueName,
                                        RRF_RT_REG_SZ, nullptr, text, &size);
        if (status == ERROR_SUCCESS && wcslen(text) >= kNameCapacity) {
            status = ERROR_MORE_DATA;
        }
        if (status != ERROR_SUCCESS) {
            ReportLoadFailure(status, setting.loadFailureText);
            return false;
        }
        if (setting.field == SettingField::SerialPort) {
            SetSerialPortName(text);
        } else {
            SetPipeName(text);
        }
    }

    DWORD initFromHardware = 0;
    if (ReadStoredNumber(parent.key, kInitFromHardwareValue, &initFromHardware) == ERROR_SUCCESS &&
        initFromHardware != 0) {
        parent.Close();
        return TakeSettingsFromPort();
    }

    for (const StoredSetting& setting : kNumericLoadOrder) {
        DWORD value = 0;
        const LONG status = ReadStoredNumber(parent.key, setting.valueName, &value);
        if (status != ERROR_SUCCESS) {
            ReportLoadFailure(status, setting.loadFailureText);
            return false;
        }
        TakeStoredNumber(PortSettings, setting.field, value);
    }
    return true;
}

bool TakeSettingsFromPort() {
    const HANDLE port = CreateFileW(PortSettings.serialPort, GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        ShowMessageBox(nullptr, kHardwareConfigFailure, kFatalErrorCaption, MB_ICONERROR);
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts{};
    COMMPROP properties{};
    const bool read = GetCommState(port, &dcb) && GetCommTimeouts(port, &timeouts) &&
                      GetCommProperties(port, &properties);
    if (read) {
        // "Flow control" has no single DCB member: it keeps what the record holds.
        PortSettings.baudRate = dcb.BaudRate;
        PortSettings.dataBits = dcb.ByteSize;
        PortSettings.parity = dcb.Parity;
        PortSettings.stopBits = dcb.StopBits;
        PortSettings.dtrControlMode = dcb.fDtrControl;
        PortSettings.rtsControlMode = dcb.fRtsControl;
        PortSettings.useCtsForOutput = dcb.fOutxCtsFlow;
        PortSettings.useDsrForOutput = dcb.fOutxDsrFlow;
        PortSettings.useDsrForInput = dcb.fDsrSensitivity;
        PortSettings.discardNull = dcb.fNull;
    }
    const bool closed = CloseHandle(port) != FALSE;
    if (!read || !closed) {
        ShowMessageBox(nullptr, kHardwareConfigFailure, kFatalErrorCaption, MB_ICONERROR);
        return false;
    }
    SaveSettings();
    return true;
}

void ApplyStartupDefaults() {
    ApplyDefaultSettings();
    if (IsUserAdministrator()) {
        CreateSettingsStore();
        return;
    }
    ShowMessageBox(nullptr, kDefaultsNotice, L"Default config", MB_ICONINFORMATION);
    // The Messages pane does not exist yet; the status window appends this
    // as its first line.
    pendingStartupLine = L"Default configuration loaded\r\n";
}

const wchar_t* TakePendingStartupLine() {
    const wchar_t* line = pendingStartupLine;
    pendingStartupLine = nullptr;
    return line;
}

void CreateSettingsStore() {
    CreateStoreKeys();
    // Runs whatever happened above; it reports its own failures.
    SaveSettings();
}

void SaveSettings() {
    RegistryKey parent;
    LONG status = OpenKey(HKEY_LOCAL_MACHINE, kStoreParentKey, KEY_QUERY_VALUE, parent);
    if (status != ERROR_SUCCESS) {
        ReportSaveFailure(kOpenParentStep, status);
        return;
    }
    RegistryKey product;
    status = CreateKey(parent.key, kStoreSubkey, KEY_WRITE, product);
    if (status != ERROR_SUCCESS) {
        ReportSaveFailure(kOpenSubkeyStep, status);
        return;
    }
    for (const SaveStep& step : kSaveValueSteps) {
        if (IsNameField(step.field)) {
            // Written without the terminating null, as earlier releases did.
            const wchar_t* text = step.field == SettingField::SerialPort ? PortSettings.serialPort
                                                                         : PortSettings.pipeName;
            status = Registry.setValue(product.key, step.valueName, 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(text),
                                       static_cast<DWORD>(wcslen(text) * sizeof(wchar_t)));
        } else {
            const DWORD value = StoredNumber(PortSettings, step.field);
            status = Registry.setValue(product.key, step.valueName, 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&value), sizeof value);
        }
        if (status != ERROR_SUCCESS) {
            ReportSaveFailure(step, status);
            return;
        }
    }
}

void ShowSaveError(const wchar_t* code, LONG status, const wchar_t* text) {
    wchar_t caption[30];
    ComposeSaveFailureCaption(code, caption, 30);
    wchar_t systemText[1000];
    FormatSystemText(static_cast<DWORD>(status), kSystemLanguage, true, systemText, 1000);
    wchar_t message[1000];
    CopyText(message, 1000, text);
    AppendText(message, 1000, systemText);
    ShowMessageBox(nullptr, message, caption, MB_ICONWARNING);
}
