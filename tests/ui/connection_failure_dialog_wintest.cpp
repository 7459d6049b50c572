// The connection failure dialog, made modeless here so the test can work it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "config/settings_record.h"
#include "support/win_test_support.h"
#include "ui/connection_failure_dialog.h"
#include "ui/resource.h"

using test_support::ControlText;

namespace {

HWND Open(FailureVariant variant) {
    static ConnectionFailure failure{test_support::DeskBridge(), variant};
    failure.variant = variant;
    return CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CONNECTION_FAILURE),
                              nullptr, ConnectionFailureDialogProc,
                              reinterpret_cast<LPARAM>(&failure));
}

TEST(ConnectionFailureDialogTest, NamesThePipeOrThePortInUse) {
    ApplyDefaultSettings(test_support::DeskSettings());
    SetPipeName(test_support::DeskSettings(), L"Lab VM");
    HWND dialog = Open(FailureVariant::Pipe);
    ASSERT_NE(dialog, nullptr);
    const std::wstring pipeText = ControlText(dialog, IDC_FAILURE_MESSAGE);
    EXPECT_EQ(pipeText.rfind(L"Couldn't connect to a virtual machine with pipe name 'Lab VM'.", 0),
              0u);
    DestroyWindow(dialog);

    SetSerialPortName(test_support::DeskSettings(), std::wstring(254, L'P').c_str());
    dialog = Open(FailureVariant::Serial);
    const std::wstring serialText = ControlText(dialog, IDC_FAILURE_MESSAGE);
    EXPECT_EQ(serialText.rfind(L"Couldn't open serial port " + std::wstring(254, L'P') + L".  ", 0),
              0u);
    EXPECT_EQ(serialText.substr(serialText.size() - 2), L"\n\n");
    DestroyWindow(dialog);
}

TEST(ConnectionFailureDialogTest, RetryClosesTheDialog) {
    ApplyDefaultSettings(test_support::DeskSettings());
    const HWND dialog = Open(FailureVariant::Serial);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_FALSE(IsWindow(dialog));
}

TEST(ConnectionFailureDialogTest, ChangeConfigurationWithoutRightsKeepsTheDialogOpen) {
    ApplyDefaultSettings(test_support::DeskSettings());
    const HWND dialog = Open(FailureVariant::Pipe);
    test_support::MessageBoxRecorder boxes;
    {
        test_support::NonAdministratorThread user;
        // Escape and the close box come as the same command.
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    EXPECT_TRUE(IsWindow(dialog));
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, L"Administrative privileges required");
    EXPECT_EQ(boxes.Boxes()[0].text,
              L"You must be an administrator to change Vantrel settings.  Please exit Vantrel, "
              L"then re-run as an administrator to make changes.");
    DestroyWindow(dialog);
}

}  // namespace
