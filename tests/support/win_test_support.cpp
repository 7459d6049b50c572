#include "support/win_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "config/settings_record.h"
#include "ui/message_box.h"
#include "ui/resource.h"
#include "ui/settings_reports.h"
#include "ui/status_window.h"

namespace test_support {

namespace {

std::vector<RecordedBox> recordedBoxes;

int WINAPI RecordBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    recordedBoxes.push_back({text ? text : L"", caption ? caption : L"", type, owner});
    return IDOK;
}

constexpr wchar_t kProductKey[] = L"Software\\Orbenwick\\Vantrel";

std::wstring Environment(const wchar_t* name) {
    wchar_t value[1024];
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

}  // namespace

MessageBoxRecorder::MessageBoxRecorder() {
    recordedBoxes.clear();
    ShowMessageBoxHook = RecordBox;
}

MessageBoxRecorder::~MessageBoxRecorder() {
    ShowMessageBoxHook = nullptr;
    recordedBoxes.clear();
}

const std::vector<RecordedBox>& MessageBoxRecorder::Boxes() const {
    return recordedBoxes;
}

void MessageBoxRecorder::Clear() {
    recordedBoxes.clear();
}

void DeleteStore() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Orbenwick");
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Orbenwick");
}

std::optional<DWORD> StoredDword(const wchar_t* valueName) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kProductKey, valueName, RRF_RT_REG_DWORD, nullptr, &value,
                     &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::wstring> StoredString(const wchar_t* valueName, DWORD* byteCount) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    BYTE data[4096] = {};
    DWORD size = sizeof data - 2;
    DWORD type = 0;
    const LONG status = RegQueryValueExW(key, valueName, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return std::nullopt;
    }
    if (byteCount != nullptr) {
        *byteCount = size;
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return text;
}

void StoreDword(const wchar_t* valueName, DWORD value) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kProductKey, valueName, REG_DWORD, &value, sizeof value);
}

void StoreString(const wchar_t* valueName, const std::wstring& text) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kProductKey, valueName, REG_SZ, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void DeleteStoredValue(const wchar_t* valueName) {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProductKey, valueName);
}

void StoreDefaults() {
    StoreString(L"Serial port", L"COM3");
    StoreString(L"Pipe name", L"Vantrel");
    StoreDword(L"Baud rate", 9600);
    StoreDword(L"Data bits", 8);
    StoreDword(L"Stop bits", 0);
    StoreDword(L"Parity", 0);
    StoreDword(L"Flow control", 0);
    StoreDword(L"Use CTS for output", 0);
    StoreDword(L"Use DSR for output", 1);
    StoreDword(L"Use DSR for input", 1);
    StoreDword(L"DTR control mode", 1);
    StoreDword(L"RTS control mode", 0);
    StoreDword(L"Discard NULL", 0);
}

// Every step is checked: a thread left an administrator would let the tests
// of the non-administrator paths pass without testing them, and one left
// restricted would fail the unrelated tests that follow on it.
NonAdministratorThread::NonAdministratorThread() {
    const auto failed = [](const char* call) {
        ADD_FAILURE() << "NonAdministratorThread: " << call << " failed, error " << GetLastError();
    };
    HANDLE processToken = nullptr;
    PSID administrators = nullptr;
    HANDLE restricted = nullptr;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &processToken)) {
        failed("OpenProcessToken");
    } else if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                         DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                         &administrators)) {
        failed("AllocateAndInitializeSid");
    } else {
        SID_AND_ATTRIBUTES denyOnly = {administrators, 0};
        BOOL member = TRUE;
        if (!CreateRestrictedToken(processToken, 0, 1, &denyOnly, 0, nullptr, 0, nullptr,
                                   &restricted)) {
            failed("CreateRestrictedToken");
        } else if (!DuplicateToken(restricted, SecurityImpersonation, &token_)) {
            failed("DuplicateToken");
        } else if (!SetThreadToken(nullptr, token_)) {
            failed("SetThreadToken");
        } else if (!CheckTokenMembership(nullptr, administrators, &member)) {
            failed("CheckTokenMembership");
        } else if (member) {
            ADD_FAILURE() << "NonAdministratorThread: the thread is still an administrator";
        }
    }
    if (restricted != nullptr) {
        CloseHandle(restricted);
    }
    if (administrators != nullptr) {
        FreeSid(administrators);
    }
    if (processToken != nullptr) {
        CloseHandle(processToken);
    }
}

NonAdministratorThread::~NonAdministratorThread() {
    if (!SetThreadToken(nullptr, nullptr)) {
        ADD_FAILURE() << "NonAdministratorThread: SetThreadToken(nullptr) failed, error "
                      << GetLastError() << "; the thread stays restricted";
    }
    if (token_ != nullptr) {
        CloseHandle(token_);
    }
}

std::wstring TestComPort() {
    return Environment(L"VANTREL_TEST_COM");
}

std::wstring TestDevicePath() {
    return Environment(L"VANTREL_TEST_DEVICE");
}

std::wstring WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::wstring ControlText(HWND dialog, int id) {
    return WindowText(GetDlgItem(dialog, id));
}

namespace {
FirstLook firstLook;
}

Bridge& DeskBridge() {
    static Bridge bridge(L"");
    return bridge;
}

PortSettingsRecord& DeskSettings() {
    return DeskBridge().PortSettings;
}

RelayContextRecord& WindowRelay() {
    return PrepareBridgeRelay(DeskBridge());
}

HWND StatusWindowForTests() {
    if (StatusWindow == nullptr) {
        WindowRelay();
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        LoadIndicatorIcons(instance);
        {
            MessageBoxRecorder boxes;
            NonAdministratorThread user;
            ApplyStartupDefaults(DeskBridge());
        }
        CreateStatusWindow(instance, SW_SHOWNOACTIVATE, DeskBridge());
        firstLook.pane = PaneText();
        firstLook.statusLine = ControlText(StatusWindow, IDC_STATUS_LINE);
        const int lamps[] = {IDC_RX_LAMP, IDC_TX_LAMP, IDC_DCD_LAMP, IDC_DSR_LAMP};
        const int counters[] = {IDC_VIRTUAL_RECEIVED, IDC_VIRTUAL_SENT, IDC_SERIAL_RECEIVED,
                                IDC_SERIAL_SENT};
        for (int i = 0; i < 4; ++i) {
            firstLook.lamps[i] = reinterpret_cast<HICON>(
                SendDlgItemMessageW(StatusWindow, lamps[i], STM_GETICON, 0, 0));
            firstLook.counters[i] = ControlText(StatusWindow, counters[i]);
        }
    }
    return StatusWindow;
}

const std::wstring& FirstPaneText() {
    return WindowAtFirst().pane;
}

const FirstLook& WindowAtFirst() {
    StatusWindowForTests();
    return firstLook;
}

void ClearPane() {
    SetDlgItemTextW(StatusWindowForTests(), IDC_MESSAGES, L"");
}

std::wstring PaneText() {
    return ControlText(StatusWindow, IDC_MESSAGES);
}

}  // namespace test_support
