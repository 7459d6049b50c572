#include "ui/message_box.h"

MessageBoxFunction ShowMessageBoxHook = nullptr;

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    if (ShowMessageBoxHook != nullptr) {
        return ShowMessageBoxHook(owner, text, caption, type);
    }
    return MessageBoxW(owner, text, caption, type);
}
