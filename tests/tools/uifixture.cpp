// uifixture: a small dialog program with one control of each kind that the
// end-to-end tests drive, so that uidriver's commands can be checked against
// windows whose contents are known (see tests/e2e/test_harness.py).
//
// It answers every action by writing into the result line (1004), e.g.
// "combo 2", "box 6" (MessageBox result), "modal 1 TEXT" (modal dialog result
// and the text of its edit), "spun" after burning 1.5 s of processor time,
// "unblocked" after not serving messages for 6 s; it exits with code 7
// through its Exit button.
#include <windows.h>

#include <string>
#include <vector>

#include "uifixture_ids.h"

namespace {

constexpr int kExitCode = 7;

// An opaque disc of one colour on a transparent ground, 32 x 32.
HICON MakeDiscIcon(COLORREF colour) {
    constexpr int size = 32;
    BITMAPV5HEADER header{};
    header.bV5Size = sizeof header;
    header.bV5Width = size;
    header.bV5Height = -size;
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00FF0000;
    header.bV5GreenMask = 0x0000FF00;
    header.bV5BlueMask = 0x000000FF;
    header.bV5AlphaMask = 0xFF000000;
    void* bits = nullptr;
    const HDC screen = GetDC(nullptr);
    const HBITMAP colourBitmap =
        CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS, &bits,
                         nullptr, 0);
    ReleaseDC(nullptr, screen);
    auto* pixels = static_cast<DWORD*>(bits);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const int dx = x - size / 2;
            const int dy = y - size / 2;
            const bool inside = dx * dx + dy * dy <= 13 * 13;
            pixels[y * size + x] =
                inside ? 0xFF000000u | (GetRValue(colour) << 16) | (GetGValue(colour) << 8) |
                             GetBValue(colour)
                       : 0;
        }
    }
    std::vector<BYTE> maskBits(size * size / 8, 0);
    const HBITMAP maskBitmap = CreateBitmap(size, size, 1, 1, maskBits.data());
    ICONINFO info{TRUE, 0, 0, maskBitmap, colourBitmap};
    const HICON icon = CreateIconIndirect(&info);
    DeleteObject(colourBitmap);
    DeleteObject(maskBitmap);
    return icon;
}

unsigned long long ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) {
        return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
               10000;
    };
    return ms(kernel) + ms(user);
}

void SetResult(HWND dialog, const std::wstring& text) {
    SetDlgItemTextW(dialog, IDC_FX_RESULT, text.c_str());
}

bool IsAdministrator() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
           CheckTokenMembership(nullptr, sid, &member) && member;
}

HWND MainDialog = nullptr;
std::wstring LastModalText;

INT_PTR CALLBACK FixtureProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDCANCEL:
                    DestroyWindow(dialog);
                    PostQuitMessage(kExitCode);
                    return TRUE;
                case IDC_FX_COMBO:
                    if (HIWORD(wParam) == CBN_SELCHANGE) {
                        const LRESULT index =
                            SendDlgItemMessageW(dialog, IDC_FX_COMBO, CB_GETCURSEL, 0, 0);
                        SetResult(dialog, L"combo " + std::to_wstring(index));
                    }
                    return TRUE;
                case IDC_FX_BOX: {
                    const int answer =
                        MessageBoxW(nullptr, L"Box text\nsecond line", L"Fixture box",
                                    MB_YESNOCANCEL | MB_ICONQUESTION);
                    SetResult(dialog, L"box " + std::to_wstring(answer));
                    return TRUE;
                }
                case IDC_FX_MODAL: {
                    const INT_PTR answer = DialogBoxParamW(
                        GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_FIXTURE_MODAL), nullptr,
                        [](HWND modal, UINT msg, WPARAM wp, LPARAM) -> INT_PTR {
                            if (msg == WM_INITDIALOG) {
                                return TRUE;
                            }
                            if (msg == WM_COMMAND &&
                                (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL)) {
                                wchar_t text[256] = L"";
                                GetDlgItemTextW(modal, IDC_FX_MODAL_EDIT, text, 256);
                                LastModalText = text;
                                EndDialog(modal, LOWORD(wp));
                                return TRUE;
                            }
                            return FALSE;
                        },
                        0);
                    SetResult(dialog, L"modal " + std::to_wstring(answer) + L" " + LastModalText);
                    return TRUE;
                }
                case IDC_FX_BLOCK:
                    // A user-interface thread that stops answering messages.
                    Sleep(6000);
                    SetResult(dialog, L"unblocked");
                    return TRUE;
                case IDC_FX_SPIN: {
                    // Burns 1.5 s of this thread's processor time (however
                    // long that takes on a loaded machine, up to 60 s) and
                    // reports what it burnt by its own account, the figure
                    // the harness's reading from outside is compared with.
                    const DWORD start = GetTickCount();
                    const unsigned long long before = ThreadCpuMs();
                    volatile unsigned long long sink = 0;
                    while (ThreadCpuMs() - before < 1500 && GetTickCount() - start < 60000) {
                        for (int i = 0; i < 100000; ++i) {
                            sink = sink + 1;
                        }
                    }
                    SetResult(dialog, L"spun " + std::to_wstring(ThreadCpuMs() - before));
                    return TRUE;
                }
                case IDC_FX_CHECK:
                    SetResult(dialog, L"check " + std::to_wstring(IsDlgButtonChecked(dialog,
                                                                                     IDC_FX_CHECK)));
                    return TRUE;
            }
            return FALSE;
    }
    return FALSE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    MainDialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_FIXTURE), nullptr, FixtureProc, 0);
    if (MainDialog == nullptr) {
        return 1;
    }
    const HWND combo = GetDlgItem(MainDialog, IDC_FX_COMBO);
    for (const wchar_t* entry : {L"alpha", L"beta", L"gamma delta"}) {
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    }
    SendMessageW(combo, CB_SETCURSEL, 1, 0);
    SendDlgItemMessageW(MainDialog, IDC_FX_GREEN, STM_SETICON,
                        reinterpret_cast<WPARAM>(MakeDiscIcon(RGB(40, 200, 60))), 0);
    SendDlgItemMessageW(MainDialog, IDC_FX_YELLOW, STM_SETICON,
                        reinterpret_cast<WPARAM>(MakeDiscIcon(RGB(240, 220, 30))), 0);
    SendDlgItemMessageW(MainDialog, IDC_FX_GREY, STM_SETICON,
                        reinterpret_cast<WPARAM>(MakeDiscIcon(RGB(128, 128, 128))), 0);
    SetDlgItemTextW(MainDialog, IDC_FX_ADMIN, IsAdministrator() ? L"admin 1" : L"admin 0");
    // A pane larger than any fixed read buffer, ending in a known line.
    std::wstring log;
    for (int line = 1; line <= 3000; ++line) {
        log += L"log line " + std::to_wstring(line) + L"\r\n";
    }
    SetDlgItemTextW(MainDialog, IDC_FX_LOG, log.c_str());
    ShowWindow(MainDialog, showCommand);
    UpdateWindow(MainDialog);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(MainDialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}
