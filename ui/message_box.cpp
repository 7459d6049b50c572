#include "ui/message_box.h"

#include "common/system_text.h"

MessageBoxFunction ShowMessageBoxHook = nullptr;

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    if (ShowMessageBoxHook != nullptr) {
        return ShowMessageBoxHook(owner, text, caption, type);
    }
    return MessageBoxW(owner, text, caption, type);
}

void ShowErrorBox(const wchar_t* text) {
    ShowMessageBox(nullptr, text, L"Error", MB_OK);
}

void ShowSystemErrorBox(DWORD error, const wchar_t* caption) {
    wchar_t text[1024];
    FormatSystemText(error, kNeutralLanguage, true, text, 1024);
    ShowMessageBox(nullptr, text, caption, MB_OK);
}
