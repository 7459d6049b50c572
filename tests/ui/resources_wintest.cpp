// The dialog templates and pictures linked into the program: every control
// the code drives exists with the class and the style bits the code relies
// on, and the pictures load at the sizes the windows are laid out for.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "ui/resource.h"

namespace {

enum class Kind { Edit, Static, Button, ComboBox };

const wchar_t* ClassName(Kind kind) {
    switch (kind) {
        case Kind::Edit: return L"Edit";
        case Kind::Static: return L"Static";
        case Kind::Button: return L"Button";
        case Kind::ComboBox: return L"ComboBox";
    }
    return L"";
}

constexpr DWORD kAnyType = 0xFFFFFFFF;

struct ExpectedControl {
    int id;
    Kind kind;
    // The control's sub-type: SS_* for statics (masked by SS_TYPEMASK), BS_*
    // for buttons (BS_TYPEMASK), CBS_* for combo boxes (low two bits), ES_*
    // alignment for edits (low two bits).
    DWORD type;
    DWORD required;          // style bits that must be set
    DWORD forbidden;         // style bits that must be clear
    const wchar_t* text;     // template text, or nullptr when not checked
};

struct ExpectedDialog {
    int id;
    const wchar_t* caption;
    DWORD required;
    DWORD forbidden;
    DWORD requiredEx;
    std::vector<ExpectedControl> controls;
};

constexpr DWORD kReadOnlyEdit = ES_READONLY;
constexpr DWORD kList = WS_TABSTOP;  // WS_VSCROLL is checked in the template

const std::vector<ExpectedDialog>& Dialogs() {
    static const std::vector<ExpectedDialog> dialogs = {
        {IDD_SPLASH, L"", WS_POPUP | WS_SYSMENU, WS_CAPTION | WS_VISIBLE, 0,
         {
             {IDC_SPLASH_PICTURE, Kind::Static, SS_BITMAP, 0, 0, nullptr},
         }},
        {IDD_STATUS, L"Vantrel", WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, WS_VISIBLE,
         WS_EX_APPWINDOW,
         {
             {IDC_SERIAL_PORT_FIELD, Kind::Edit, ES_LEFT, kReadOnlyEdit, 0, L""},
             {IDC_PIPE_NAME_FIELD, Kind::Edit, ES_LEFT, kReadOnlyEdit, 0, L""},
             {IDC_BAUD_FIELD, Kind::Edit, ES_LEFT, kReadOnlyEdit | ES_NUMBER, 0, L""},
             {IDC_PARITY_FIELD, Kind::Edit, ES_LEFT, kReadOnlyEdit | ES_UPPERCASE, 0, L""},
             {IDC_DATA_BITS_FIELD, Kind::Edit, ES_CENTER, kReadOnlyEdit, 0, L""},
             {IDC_STOP_BITS_FIELD, Kind::Edit, ES_CENTER, kReadOnlyEdit, 0, L""},
             {IDC_FLOW_CONTROL_FIELD, Kind::Edit, ES_LEFT, kReadOnlyEdit, 0, L""},
             {IDC_RX_LAMP, Kind::Static, SS_ICON, SS_CENTERIMAGE, 0, nullptr},
             {IDC_TX_LAMP, Kind::Static, SS_ICON, SS_CENTERIMAGE, 0, nullptr},
             {IDC_DCD_LAMP, Kind::Static, SS_ICON, SS_CENTERIMAGE, 0, nullptr},
             {IDC_DSR_LAMP, Kind::Static, SS_ICON, SS_CENTERIMAGE, 0, nullptr},
             {IDC_CABLE_PICTURE, Kind::Static, SS_ICON, SS_REALSIZEIMAGE, 0, nullptr},
             {IDC_RECEIVED_HEADING, Kind::Static, SS_LEFT, 0, 0, L"Received"},
             {IDC_SENT_HEADING, Kind::Static, SS_LEFT, 0, 0, L"Sent"},
             {IDC_VIRTUAL_RECEIVED, Kind::Static, SS_RIGHT, 0, 0, L"0"},
             {IDC_VIRTUAL_SENT, Kind::Static, SS_RIGHT, 0, 0, L"0"},
             {IDC_SERIAL_RECEIVED, Kind::Static, SS_RIGHT, 0, 0, L"0"},
             {IDC_SERIAL_SENT, Kind::Static, SS_RIGHT, 0, 0, L"0"},
             {IDC_BYTES_LABEL_1, Kind::Static, kAnyType, 0, 0, L"bytes"},
             {IDC_BYTES_LABEL_2, Kind::Static, kAnyType, 0, 0, L"bytes"},
             {IDC_BYTES_LABEL_3, Kind::Static, kAnyType, 0, 0, L"bytes"},
             {IDC_BYTES_LABEL_4, Kind::Static, kAnyType, 0, 0, L"bytes"},
             {IDC_RESET, Kind::Button, BS_PUSHBUTTON, BS_ICON | BS_FLAT, 0, nullptr},
             {IDC_MESSAGES, Kind::Edit, ES_LEFT,
              ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY | WS_VSCROLL | WS_TABSTOP, WS_BORDER,
              L""},
             {IDC_ABOUT, Kind::Button, BS_PUSHBUTTON, WS_TABSTOP, 0, L"About"},
             {IDC_CHANGE_SETTINGS, Kind::Button, BS_PUSHBUTTON, WS_TABSTOP, 0, L"Change settings"},
             {IDCANCEL, Kind::Button, BS_PUSHBUTTON, WS_TABSTOP, 0, L"Exit"},
             {IDC_STATUS_LINE, Kind::Static, SS_CENTER, 0, 0, L"Waiting for connection..."},
         }},
        {IDD_ABOUT, L"About Vantrel", WS_POPUP | WS_CAPTION | WS_SYSMENU, WS_VISIBLE, 0,
         {
             {IDOK, Kind::Button, BS_DEFPUSHBUTTON, WS_TABSTOP, 0, L"OK"},
             {IDC_ABOUT_TEXT, Kind::Static, kAnyType, 0, 0, nullptr},
         }},
        {IDD_CONNECTION_FAILURE, L"Configuration mismatch", WS_POPUP | WS_CAPTION | WS_SYSMENU,
         WS_VISIBLE, 0,
         {
             {IDC_FAILURE_MESSAGE, Kind::Static, SS_LEFT, 0, 0, L"Static"},
             {IDOK, Kind::Button, BS_DEFPUSHBUTTON, WS_TABSTOP, 0, L"Retry"},
             {IDCANCEL, Kind::Button, BS_PUSHBUTTON, WS_TABSTOP, 0, L"Change configuration"},
             {IDC_FAILURE_EXIT, Kind::Button, BS_PUSHBUTTON, WS_TABSTOP, 0, L"Exit"},
         }},
        {IDD_SETTINGS, L"Vantrel settings", WS_POPUP | WS_CAPTION | WS_SYSMENU, WS_VISIBLE, 0,
         {
             {IDOK, Kind::Button, BS_DEFPUSHBUTTON, WS_TABSTOP, WS_DISABLED, L"Save changes"},
             {IDCANCEL, Kind::Button, BS_PUSHBUTTON, WS_TABSTOP, WS_DISABLED, L"Cancel"},
             {IDC_SET_BAUD, Kind::ComboBox, CBS_DROPDOWNLIST, kList, WS_DISABLED, nullptr},
             {IDC_SET_FLOW_CONTROL, Kind::ComboBox, CBS_DROPDOWNLIST, kList, WS_DISABLED, nullptr},
             {IDC_SET_SERIAL_PORT, Kind::Edit, ES_LEFT, ES_AUTOHSCROLL | WS_TABSTOP,
              ES_READONLY | WS_DISABLED, L""},
             {IDC_SET_PIPE_NAME, Kind::Edit, ES_LEFT, ES_AUTOHSCROLL | WS_TABSTOP,
              ES_READONLY | WS_DISABLED, L""},
             {IDC_SET_VIRTUAL_MACHINE, Kind::Button, BS_PUSHBUTTON, WS_TABSTOP, WS_DISABLED,
              L"Virtual machine..."},
             {IDC_SET_DATA_BITS, Kind::ComboBox, CBS_DROPDOWNLIST, kList, WS_DISABLED, nullptr},
             {IDC_SET_PARITY, Kind::ComboBox, CBS_DROPDOWNLIST, kList, WS_DISABLED, nullptr},
             {IDC_SET_STOP_BITS, Kind::ComboBox, CBS_DROPDOWNLIST, kList, WS_DISABLED, nullptr},
             {IDC_SET_DTR_CONTROL, Kind::ComboBox, CBS_DROPDOWNLIST, kList, WS_DISABLED, nullptr},
             {IDC_SET_RTS_CONTROL, Kind::ComboBox, CBS_DROPDOWNLIST, kList | WS_DISABLED, 0, nullptr},
             {IDC_SET_CTS_OUTPUT, Kind::ComboBox, CBS_DROPDOWNLIST, kList | WS_DISABLED, 0, nullptr},
             {IDC_SET_DSR_OUTPUT, Kind::ComboBox, CBS_DROPDOWNLIST, kList, WS_DISABLED, nullptr},
             {IDC_SET_DSR_INPUT, Kind::ComboBox, CBS_DROPDOWNLIST, kList, WS_DISABLED, nullptr},
             {IDC_SET_INPUT_BUFFER, Kind::Edit, kAnyType, ES_READONLY | WS_DISABLED, 0, L""},
             {IDC_SET_OUTPUT_BUFFER, Kind::Edit, kAnyType, ES_READONLY | WS_DISABLED, 0, L""},
             {IDC_SET_PIPE_BUFFER, Kind::Edit, kAnyType, ES_READONLY | WS_DISABLED, 0, L""},
             {IDC_SET_DISCARD_NULL, Kind::ComboBox, CBS_DROPDOWNLIST, kList, WS_DISABLED, nullptr},
             {IDC_SET_CHOOSE_PORT, Kind::Button, BS_PUSHBUTTON, WS_TABSTOP, WS_DISABLED, L"Choose..."},
             {IDC_SET_FOLLOW_ADAPTER, Kind::Button, BS_AUTOCHECKBOX, WS_TABSTOP, WS_DISABLED,
              L"Follow this adapter to any USB socket"},
         }},
    };
    return dialogs;
}

// Names the dialog in failure messages instead of dumping its bytes.
void PrintTo(const ExpectedDialog& want, std::ostream* out) { *out << "dialog " << want.id; }

INT_PTR CALLBACK InertDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// A dialog created from the test binary's own resources (the same script the
// program links), destroyed at the end of the scope.
class Dialog {
public:
    explicit Dialog(int id)
        : window_(CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), nullptr,
                                     InertDialogProc, 0)) {}
    ~Dialog() {
        if (window_ != nullptr) DestroyWindow(window_);
    }
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;
    HWND get() const { return window_; }

private:
    HWND window_;
};

std::wstring WindowText(HWND window) {
    wchar_t text[256] = L"";
    GetWindowTextW(window, text, 256);
    return text;
}

std::wstring WindowClass(HWND window) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

// Steps over a name-or-ordinal field of a dialog template.
const WORD* SkipNameOrOrdinal(const WORD* p) {
    if (*p == 0xFFFF) return p + 2;
    while (*p != 0) ++p;
    return p + 1;
}

const BYTE* AlignToDword(const void* p) {
    const auto at = reinterpret_cast<ULONG_PTR>(p);
    return reinterpret_cast<const BYTE*>((at + 3) & ~static_cast<ULONG_PTR>(3));
}

// The style an item of an extended dialog template was compiled with, or 0
// when the template has no such item.
DWORD TemplateStyle(int dialogId, int controlId) {
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(dialogId), RT_DIALOG);
    if (info == nullptr) return 0;
    const auto* words = static_cast<const WORD*>(LockResource(LoadResource(module, info)));
    if (words == nullptr || words[0] != 1 || words[1] != 0xFFFF) return 0;  // not DIALOGEX
    DWORD dialogStyle;
    WORD count;
    std::memcpy(&dialogStyle, words + 6, sizeof dialogStyle);
    std::memcpy(&count, words + 8, sizeof count);
    const WORD* p = words + 13;              // past x, y, cx, cy
    p = SkipNameOrOrdinal(p);                // menu
    p = SkipNameOrOrdinal(p);                // class
    p = SkipNameOrOrdinal(p);                // caption
    if (dialogStyle & DS_SETFONT) {
        p += 3;                              // point size, weight, italic and charset
        p = SkipNameOrOrdinal(p);            // typeface
    }
    const BYTE* item = AlignToDword(p);
    for (WORD i = 0; i < count; ++i) {
        DWORD style;
        DWORD id;
        std::memcpy(&style, item + 8, sizeof style);
        std::memcpy(&id, item + 20, sizeof id);
        const WORD* q = reinterpret_cast<const WORD*>(item + 24);
        q = SkipNameOrOrdinal(q);            // class
        q = SkipNameOrOrdinal(q);            // text
        const WORD extra = *q;
        if (static_cast<int>(id) == controlId) return style;
        item = AlignToDword(reinterpret_cast<const BYTE*>(q + 1) + extra);
    }
    return 0;
}

DWORD TypeOf(Kind kind, DWORD style) {
    switch (kind) {
        case Kind::Static: return style & SS_TYPEMASK;
        case Kind::Button: return style & BS_TYPEMASK;
        case Kind::ComboBox: return style & 3;
        case Kind::Edit: return style & (ES_CENTER | ES_RIGHT);
    }
    return 0;
}

void CheckControl(int dialogId, HWND dialog, const ExpectedControl& want) {
    SCOPED_TRACE(testing::Message() << "control " << want.id);
    const HWND control = GetDlgItem(dialog, want.id);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(_wcsicmp(WindowClass(control).c_str(), ClassName(want.kind)), 0)
        << "class " << testing::PrintToString(WindowClass(control));
    const DWORD style = static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE));
    EXPECT_EQ(style & (WS_CHILD | WS_VISIBLE), static_cast<DWORD>(WS_CHILD | WS_VISIBLE));
    if (want.type != kAnyType) {
        EXPECT_EQ(TypeOf(want.kind, style), want.type) << std::hex << "style 0x" << style;
    }
    EXPECT_EQ(style & want.required, want.required) << std::hex << "style 0x" << style;
    EXPECT_EQ(style & want.forbidden, 0u) << std::hex << "style 0x" << style;
    if (want.forbidden & WS_BORDER) {
        // An edit may turn a template border into the client-edge frame.
        EXPECT_EQ(GetWindowLongW(control, GWL_EXSTYLE) & WS_EX_CLIENTEDGE, 0);
    }
    if (want.kind == Kind::ComboBox) {
        // The combo box hands WS_VSCROLL to its list and drops it from its
        // own style, and the list shows the bar only when it overflows: only
        // the template still tells.
        EXPECT_NE(TemplateStyle(dialogId, want.id) & WS_VSCROLL, 0u)
            << "drop-down list without a vertical scroll bar";
    }
    if (want.text != nullptr) {
        EXPECT_EQ(WindowText(control), want.text);
    }
}

class ResourcesDialog : public testing::TestWithParam<ExpectedDialog> {};

TEST_P(ResourcesDialog, HasEveryControlTheCodeDrives) {
    const ExpectedDialog& want = GetParam();
    Dialog dialog(want.id);
    ASSERT_NE(dialog.get(), nullptr) << "error " << GetLastError();

    EXPECT_EQ(WindowText(dialog.get()), want.caption);
    const DWORD style = static_cast<DWORD>(GetWindowLongW(dialog.get(), GWL_STYLE));
    EXPECT_EQ(style & want.required, want.required) << std::hex << "style 0x" << style;
    EXPECT_EQ(style & want.forbidden, 0u) << std::hex << "style 0x" << style;
    const DWORD exStyle = static_cast<DWORD>(GetWindowLongW(dialog.get(), GWL_EXSTYLE));
    EXPECT_EQ(exStyle & want.requiredEx, want.requiredEx) << std::hex << "ex style 0x" << exStyle;
    // Placed at the top-left corner of the screen, not centred.
    RECT frame{};
    GetWindowRect(dialog.get(), &frame);
    EXPECT_EQ(frame.left, 0);
    EXPECT_EQ(frame.top, 0);

    for (const ExpectedControl& control : want.controls) {
        CheckControl(want.id, dialog.get(), control);
    }
}

INSTANTIATE_TEST_SUITE_P(Resources, ResourcesDialog, testing::ValuesIn(Dialogs()),
                         [](const testing::TestParamInfo<ExpectedDialog>& info) {
                             return "Dialog" + std::to_string(info.param.id);
                         });

std::vector<int> ChildIds(HWND dialog) {
    std::vector<int> ids;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        ids.push_back(GetDlgCtrlID(child));
    }
    return ids;
}

// The template order of the settings dialog is its tab order: Save changes
// first (it takes the focus when the dialog opens), then the fields in the
// order their labels and lists were laid down.
TEST(ResourcesSettings, ItemsFollowTheTabOrder) {
    Dialog dialog(IDD_SETTINGS);
    ASSERT_NE(dialog.get(), nullptr);
    constexpr int S = IDC_STATIC;
    const std::vector<int> expected = {
        IDOK, IDCANCEL, S, IDC_SET_BAUD, S, S, S, S, S, S, S, S, S, S, S, S, S,
        IDC_SET_SERIAL_PORT, IDC_SET_PIPE_NAME, IDC_SET_VIRTUAL_MACHINE, IDC_SET_PARITY,
        IDC_SET_STOP_BITS,
        IDC_SET_DTR_CONTROL, IDC_SET_RTS_CONTROL, IDC_SET_DATA_BITS, IDC_SET_CTS_OUTPUT,
        IDC_SET_DSR_OUTPUT, S, IDC_SET_DSR_INPUT, S, S, S, IDC_SET_INPUT_BUFFER,
        IDC_SET_OUTPUT_BUFFER, S, S, IDC_SET_PIPE_BUFFER, IDC_SET_FLOW_CONTROL, S,
        IDC_SET_DISCARD_NULL, IDC_SET_CHOOSE_PORT, IDC_SET_FOLLOW_ADAPTER,
    };
    std::vector<int> actual = ChildIds(dialog.get());
    // A static's id reads back as 0xFFFF.
    for (int& id : actual) {
        if (id == 0xFFFF) id = S;
    }
    EXPECT_EQ(actual, expected);
}

TEST(ResourcesAbout, NamesTheProgramAndItsVersion) {
    Dialog dialog(IDD_ABOUT);
    ASSERT_NE(dialog.get(), nullptr);
    std::vector<std::wstring> texts;
    for (HWND child = GetWindow(dialog.get(), GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        texts.push_back(WindowText(child));
    }
    EXPECT_NE(std::find(texts.begin(), texts.end(), L"Vantrel"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), L"V2.4 Base"), texts.end());
    EXPECT_NE(WindowText(GetDlgItem(dialog.get(), IDC_ABOUT_TEXT)).find(L"Hyper-V"),
              std::wstring::npos);
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colours;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
#pragma pack(pop)

const GroupIconEntry& Entry(const GroupIconHeader* group, int index) {
    return reinterpret_cast<const GroupIconEntry*>(group + 1)[index];
}

const GroupIconHeader* GroupIcon(int id) {
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), RT_GROUP_ICON);
    if (info == nullptr) return nullptr;
    return static_cast<const GroupIconHeader*>(LockResource(LoadResource(module, info)));
}

// Loaded at the size stored in the resource, not the system's icon size.
SIZE LoadedIconSize(int id) {
    SIZE size{0, 0};
    const HICON icon = static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON, 0, 0, 0));
    if (icon == nullptr) return size;
    ICONINFO info{};
    if (GetIconInfo(icon, &info)) {
        BITMAP bitmap{};
        GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
        size = {bitmap.bmWidth, bitmap.bmHeight};
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
    }
    DestroyIcon(icon);
    return size;
}

struct ExpectedIcon {
    int id;
    int size;
};

TEST(ResourcesPictures, IndicatorAndDecorationIconsAreSingleImagesOfTheirSize) {
    const ExpectedIcon icons[] = {
        {IDI_RX_LIT, 64},   {IDI_RX_DARK, 64},  {IDI_TX_LIT, 64},  {IDI_TX_DARK, 64},
        {IDI_DCD_DARK, 64}, {IDI_DCD_LIT, 64},  {IDI_DSR_DARK, 64}, {IDI_DSR_LIT, 64},
        {IDI_CABLE, 64},    {IDI_RESET, 48},
    };
    for (const ExpectedIcon& icon : icons) {
        SCOPED_TRACE(testing::Message() << "icon " << icon.id);
        const GroupIconHeader* group = GroupIcon(icon.id);
        ASSERT_NE(group, nullptr);
        ASSERT_EQ(group->count, 1);
        EXPECT_EQ(Entry(group, 0).width, icon.size);
        EXPECT_EQ(Entry(group, 0).height, icon.size);
        EXPECT_EQ(Entry(group, 0).bitCount, 32);  // with alpha
        const SIZE loaded = LoadedIconSize(icon.id);
        EXPECT_EQ(loaded.cx, icon.size);
        EXPECT_EQ(loaded.cy, icon.size);
        // What the status window does with it: the system's icon size.
        EXPECT_NE(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(icon.id)), nullptr);
    }
}

TEST(ResourcesPictures, ProgramIconCoversTheShellSizes) {
    const GroupIconHeader* group = GroupIcon(IDI_PROGRAM);
    ASSERT_NE(group, nullptr);
    std::vector<int> sizes;
    for (int i = 0; i < group->count; ++i) {
        const GroupIconEntry& entry = Entry(group, i);
        EXPECT_EQ(entry.width, entry.height);
        sizes.push_back(entry.width == 0 ? 256 : entry.width);
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48, 256}));
}

// Explorer and the taskbar show the first icon group of the file: named
// groups come before numbered ones, and numbered ones in rising order.
TEST(ResourcesPictures, ProgramIconIsTheFirstIconGroup) {
    std::vector<ULONG_PTR> names;
    EnumResourceNamesW(
        GetModuleHandleW(nullptr), RT_GROUP_ICON,
        [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) -> BOOL {
            reinterpret_cast<std::vector<ULONG_PTR>*>(param)->push_back(
                reinterpret_cast<ULONG_PTR>(name));
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&names));
    ASSERT_FALSE(names.empty());
    for (ULONG_PTR name : names) {
        EXPECT_TRUE(IS_INTRESOURCE(name)) << "named icon group sorts before the program's";
    }
    EXPECT_EQ(*std::min_element(names.begin(), names.end()), static_cast<ULONG_PTR>(IDI_PROGRAM));
}

TEST(ResourcesPictures, SplashBitmapIs400By200At24Bits) {
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(IDB_SPLASH), RT_BITMAP);
    ASSERT_NE(info, nullptr);
    const auto* header =
        static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(module, info)));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->biWidth, 400);
    EXPECT_EQ(std::abs(header->biHeight), 200);
    EXPECT_EQ(header->biBitCount, 24);

    // The way start-up loads it.
    const HBITMAP bitmap = LoadBitmapW(module, MAKEINTRESOURCEW(IDB_SPLASH));
    ASSERT_NE(bitmap, nullptr);
    BITMAP loaded{};
    ASSERT_NE(GetObjectW(bitmap, sizeof loaded, &loaded), 0);
    EXPECT_EQ(loaded.bmWidth, 400);
    EXPECT_EQ(loaded.bmHeight, 200);
    DeleteObject(bitmap);
}

}  // namespace
