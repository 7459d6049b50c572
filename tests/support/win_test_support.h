// Helpers shared by the Win32 integration tests (run under Wine).
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "relay/bridge.h"
#include "relay/relay_context.h"

namespace test_support {

struct RecordedBox {
    std::wstring text;
    std::wstring caption;
    UINT type;
    HWND owner;
};

// Replaces the program's message boxes with a recorder for the lifetime of
// the object; every box is answered with IDOK.
class MessageBoxRecorder {
public:
    MessageBoxRecorder();
    ~MessageBoxRecorder();
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;
    const std::vector<RecordedBox>& Boxes() const;
    void Clear();
};

// HKLM\Software\Orbenwick and everything under it.
void DeleteStore();
std::optional<DWORD> StoredDword(const wchar_t* valueName);
// The raw bytes of a REG_SZ value and its type.
std::optional<std::wstring> StoredString(const wchar_t* valueName, DWORD* byteCount = nullptr);
void StoreDword(const wchar_t* valueName, DWORD value);
void StoreString(const wchar_t* valueName, const std::wstring& text);
void DeleteStoredValue(const wchar_t* valueName);
// A complete store as an administrator's first start leaves it.
void StoreDefaults();

// Makes the calling thread act as a member of Administrators whose group is
// deny-only (what an unelevated administrator's process gets), until
// destroyed. A step that fails, or a thread that is an administrator all the
// same, is a test failure naming the call and its error.
class NonAdministratorThread {
public:
    NonAdministratorThread();
    ~NonAdministratorThread();
    NonAdministratorThread(const NonAdministratorThread&) = delete;
    NonAdministratorThread& operator=(const NonAdministratorThread&) = delete;

private:
    HANDLE token_ = nullptr;
};

// The device side of the pty-backed COM port the test runner provides, or
// empty when the runner gave none. VANTREL_TEST_COM names the port as the
// program opens it (e.g. "COM3"); VANTREL_TEST_DEVICE is the Unix path of the
// other end, reachable through Wine's Z: drive.
std::wstring TestComPort();
std::wstring TestDevicePath();

// Pumps the calling thread's messages until condition() holds or the
// deadline passes. Returns condition().
template <typename Condition>
bool PumpUntil(Condition condition, DWORD timeoutMs = 20000) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > deadline) {
            return condition();
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return true;
}

std::wstring WindowText(HWND window);
std::wstring ControlText(HWND dialog, int id);

// The program's status window, made once for the whole test run the way
// start-up makes it (after defaults were applied for a non-administrator).
// It is never destroyed: closing it ends the process.
HWND StatusWindowForTests();
// The bridge that window shows, the default one, as start-up has it; its
// settings; and its relay record, whose counters and lamps the window shows
// (no thread runs for it).
Bridge& DeskBridge();
PortSettingsRecord& DeskSettings();
RelayContextRecord& WindowRelay();
// The Messages pane as it was right after the window was made.
const std::wstring& FirstPaneText();
// The window as it was right after it was made, before any test touched it.
struct FirstLook {
    std::wstring pane;
    std::wstring statusLine;
    HICON lamps[4];  // receive, send, DCD, DSR
    std::wstring counters[4];
};
const FirstLook& WindowAtFirst();
// Empties the Messages pane between tests.
void ClearPane();
std::wstring PaneText();

}  // namespace test_support
