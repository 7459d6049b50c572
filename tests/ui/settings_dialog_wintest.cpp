// The settings dialog, made modeless here so the test can work it; its
// procedure is the one the program runs modally.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "config/settings_record.h"
#include "support/win_test_support.h"
#include "ui/resource.h"
#include "ui/settings_dialog.h"
#include "ui/settings_reports.h"

using test_support::ControlText;

namespace {

class SettingsDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::DeleteStore();
        ApplyDefaultSettings(test_support::DeskSettings());
        CreateSettingsStore(test_support::DeskBridge());
    }
    void TearDown() override {
        if (IsWindow(dialog_)) {
            DestroyWindow(dialog_);
        }
        test_support::DeleteStore();
    }
    void Open() {
        dialog_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SETTINGS),
                                     nullptr, SettingsDialogProc,
                                     reinterpret_cast<LPARAM>(&test_support::DeskBridge()));
        ASSERT_NE(dialog_, nullptr);
    }
    int Selection(int id) {
        return static_cast<int>(SendDlgItemMessageW(dialog_, id, CB_GETCURSEL, 0, 0));
    }
    std::wstring SelectedText(int id) {
        const int index = Selection(id);
        wchar_t text[100] = {};
        SendDlgItemMessageW(dialog_, id, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
        return text;
    }
    void Select(int id, int index) {
        SendDlgItemMessageW(dialog_, id, CB_SETCURSEL, index, 0);
        SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog_, id)));
    }
    void Press(int id) { SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
    bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(dialog_, id)) != FALSE; }

    HWND dialog_ = nullptr;
    test_support::MessageBoxRecorder boxes_;
};

TEST_F(SettingsDialogTest, OpensOnTheRecordsValues) {
    test_support::DeskSettings().baudRate = 19200;
    test_support::DeskSettings().flowControl = 3;
    test_support::DeskSettings().parity = 4;
    Open();
    EXPECT_EQ(SelectedText(IDC_SET_BAUD), L"19.2 Kbps");
    EXPECT_EQ(SelectedText(IDC_SET_DATA_BITS), L"8");
    EXPECT_EQ(SelectedText(IDC_SET_PARITY), L"SPACE");
    EXPECT_EQ(SelectedText(IDC_SET_STOP_BITS), L"1");
    EXPECT_EQ(SelectedText(IDC_SET_DTR_CONTROL), L"Always on");
    EXPECT_EQ(SelectedText(IDC_SET_DSR_OUTPUT), L"Yes");
    EXPECT_EQ(SelectedText(IDC_SET_DISCARD_NULL), L"No");
    EXPECT_EQ(ControlText(dialog_, IDC_SET_SERIAL_PORT), L"COM3");
    EXPECT_EQ(ControlText(dialog_, IDC_SET_PIPE_NAME), L"Vantrel");
    // Custom flow control, yet its two lists stay off until the flow list is
    // first touched.
    EXPECT_EQ(SelectedText(IDC_SET_FLOW_CONTROL), L"Custom");
    EXPECT_FALSE(Enabled(IDC_SET_RTS_CONTROL));
    EXPECT_FALSE(Enabled(IDC_SET_CTS_OUTPUT));
    EXPECT_EQ(SendDlgItemMessageW(dialog_, IDC_SET_BAUD, CB_GETCOUNT, 0, 0), 14);
}

TEST_F(SettingsDialogTest, ARateOutsideTheListOpensWithoutASelectionAndIsKeptOnSave) {
    test_support::DeskSettings().baudRate = 230400;
    Open();
    EXPECT_EQ(Selection(IDC_SET_BAUD), CB_ERR);
    Press(IDOK);
    EXPECT_EQ(test_support::DeskSettings().baudRate, 230400u);
    EXPECT_EQ(test_support::StoredDword(L"Baud rate"), 230400u);
}

TEST_F(SettingsDialogTest, FlowListEnablesTheCustomListsOnlyForCustom) {
    Open();
    Select(IDC_SET_FLOW_CONTROL, 3);
    EXPECT_TRUE(Enabled(IDC_SET_RTS_CONTROL));
    EXPECT_TRUE(Enabled(IDC_SET_CTS_OUTPUT));
    Select(IDC_SET_FLOW_CONTROL, 1);
    EXPECT_FALSE(Enabled(IDC_SET_RTS_CONTROL));
    EXPECT_FALSE(Enabled(IDC_SET_CTS_OUTPUT));
}

TEST_F(SettingsDialogTest, SaveTakesEveryListAndNamesCutTo99Characters) {
    Open();
    SetDlgItemTextW(dialog_, IDC_SET_SERIAL_PORT, std::wstring(120, L'c').c_str());
    SetDlgItemTextW(dialog_, IDC_SET_PIPE_NAME, L"Lab VM");
    Select(IDC_SET_BAUD, 13);
    Select(IDC_SET_DATA_BITS, 2);
    Select(IDC_SET_PARITY, 1);
    Select(IDC_SET_STOP_BITS, 2);
    Select(IDC_SET_FLOW_CONTROL, 1);
    // Saved although disabled by the flow mode.
    Select(IDC_SET_RTS_CONTROL, 3);
    Select(IDC_SET_CTS_OUTPUT, 1);
    Select(IDC_SET_DISCARD_NULL, 1);
    Press(IDOK);

    EXPECT_FALSE(IsWindow(dialog_)) << "closed after saving";
    ASSERT_EQ(boxes_.Boxes().size(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].caption, L"Settings saved");
    EXPECT_EQ(boxes_.Boxes()[0].type, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(std::wstring(test_support::DeskSettings().serialPort), std::wstring(99, L'c'));
    EXPECT_EQ(std::wstring(test_support::DeskSettings().pipePath), L"\\\\.\\pipe\\Lab VM");
    EXPECT_EQ(test_support::DeskSettings().baudRate, 256000u);
    EXPECT_EQ(test_support::DeskSettings().dataBits, 7);
    EXPECT_EQ(test_support::DeskSettings().parity, 1);
    EXPECT_EQ(test_support::DeskSettings().stopBits, 2);
    EXPECT_EQ(test_support::DeskSettings().flowControl, 1);
    EXPECT_EQ(test_support::DeskSettings().rtsControlMode, 3u);
    EXPECT_EQ(test_support::DeskSettings().useCtsForOutput, 1u);
    EXPECT_EQ(test_support::DeskSettings().discardNull, 1u);
    EXPECT_EQ(test_support::StoredString(L"Serial port"), std::wstring(99, L'c'));
    EXPECT_EQ(test_support::StoredString(L"Pipe name"), L"Lab VM");
    EXPECT_EQ(test_support::StoredDword(L"Data bits"), 7u);
    EXPECT_EQ(test_support::StoredDword(L"RTS control mode"), 3u);
}

TEST_F(SettingsDialogTest, CancelWarnsOnceAndChangesNothing) {
    Open();
    SetDlgItemTextW(dialog_, IDC_SET_PIPE_NAME, L"Other");
    Select(IDC_SET_BAUD, 0);
    const HWND opened = dialog_;
    Press(IDCANCEL);
    EXPECT_FALSE(IsWindow(dialog_));
    ASSERT_EQ(boxes_.Boxes().size(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].caption, L"Save changes?");
    EXPECT_EQ(boxes_.Boxes()[0].text,
              L"Unsaved changed will be lost.  Are you sure you want to close this window?");
    EXPECT_EQ(boxes_.Boxes()[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(boxes_.Boxes()[0].owner, opened);
    EXPECT_EQ(std::wstring(test_support::DeskSettings().pipeName), L"Vantrel");
    EXPECT_EQ(test_support::DeskSettings().baudRate, 9600u);
    EXPECT_EQ(test_support::StoredString(L"Pipe name"), L"Vantrel");
}

TEST_F(SettingsDialogTest, AFailedSaveShowsItsBoxThenSettingsSaved) {
    Open();
    test_support::DeleteStore();
    Press(IDOK);
    ASSERT_EQ(boxes_.Boxes().size(), 2u);
    EXPECT_EQ(boxes_.Boxes()[0].caption, L"Error WR-110");
    EXPECT_EQ(boxes_.Boxes()[1].caption, L"Settings saved");
    EXPECT_FALSE(IsWindow(dialog_));
}

}  // namespace
