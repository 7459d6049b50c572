#include "app/console.h"

#include <windows.h>

#include "common/system_text.h"
#include "common/text.h"
#include "config/settings_store.h"
#include "ui/display_text.h"
#include "ui/message_box.h"

namespace {

bool WriteTo(HANDLE output, const std::wstring& text) {
    if (output == nullptr || output == INVALID_HANDLE_VALUE ||
        GetFileType(output) == FILE_TYPE_UNKNOWN) {
        return false;
    }
    DWORD done = 0;
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode)) {
        return WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &done,
                             nullptr) != FALSE;
    }
    // A file or a pipe: UTF-8.
    const std::string bytes = ToUtf8(text);
    return WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) !=
           FALSE;
}

}  // namespace

void TellUser(const std::wstring& text, bool failure) {
    const std::wstring line = text + L"\r\n";
    const DWORD which = failure ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
    // A graphical program has no console of its own: its output goes where
    // it was redirected, else to the console of whoever started it.
    if (WriteTo(GetStdHandle(which), line)) {
        return;
    }
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        const HANDLE console =
            CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        const bool written = WriteTo(console, line);
        if (console != INVALID_HANDLE_VALUE) {
            CloseHandle(console);
        }
        if (written) {
            return;
        }
    }
    ShowMessageBox(nullptr, text.c_str(), L"Vantrel", failure ? MB_ICONERROR : MB_ICONINFORMATION);
}

bool RefusedWithoutAdministrator() {
    if (IsUserAdministrator()) {
        return false;
    }
    TellUser(std::wstring(kAdministratorRequiredCaption) + L": " + kAdministratorRequiredText,
             true);
    return true;
}

int TellFailure(const std::wstring& what, DWORD error) {
    wchar_t reason[1024];
    FormatSystemText(error, kNeutralLanguage, true, reason, 1024);
    std::wstring text = what + L": " + reason;
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
        text.pop_back();
    }
    TellUser(text, true);
    return 1;
}
