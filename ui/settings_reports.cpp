#include "ui/settings_reports.h"

#include "common/system_text.h"
#include "config/settings_record.h"
#include "config/settings_store.h"
#include "serial/serial_port.h"
#include "ui/message_box.h"

namespace {

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

void ReportWriteFailure(const StoreWriteOutcome& outcome) {
    if (outcome.code == nullptr) {
        return;
    }
    wchar_t text[1000];
    ComposeSaveFailureText(outcome.phrase, text, 1000);
    ShowSaveError(outcome.code, outcome.status, text);
}

}  // namespace

bool LoadSettings(Bridge& bridge) {
    const StoreReadOutcome outcome = ReadSettingsStore(bridge.PortSettings, bridge.store);
    if (!outcome.read) {
        if (outcome.failedValue != nullptr) {
            ReportLoadFailure(outcome.status, outcome.failedValue->loadFailureText);
        }
        return false;
    }
    return outcome.initFromHardware ? TakeSettingsFromPort(bridge) : true;
}

bool TakeSettingsFromPort(Bridge& bridge) {
    if (!ReadLineFromPort(bridge.PortSettings)) {
        ShowMessageBox(nullptr, kHardwareConfigFailure, kFatalErrorCaption, MB_ICONERROR);
        return false;
    }
    SaveSettings(bridge);
    return true;
}

void ApplyStartupDefaults(Bridge& bridge) {
    ApplyDefaultSettings(bridge.PortSettings);
    if (IsUserAdministrator()) {
        CreateSettingsStore(bridge);
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

void CreateSettingsStore(Bridge& bridge) {
    ReportWriteFailure(CreateStoreKeys(bridge.store));
    // Runs whatever happened above; it reports its own failures.
    SaveSettings(bridge);
}

void SaveSettings(Bridge& bridge) {
    ReportWriteFailure(WriteSettingsStore(bridge.PortSettings, bridge.store));
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
