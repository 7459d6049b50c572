#include "ui/connection_failure_dialog.h"

#include "common/process_state.h"
#include "config/settings_record.h"
#include "config/settings_store.h"
#include "ui/message_box.h"
#include "ui/resource.h"
#include "ui/settings_dialog.h"

void ShowAdministratorRequired() {
    ShowMessageBox(nullptr, kAdministratorRequiredText, kAdministratorRequiredCaption,
                   MB_ICONERROR);
}

void RunConnectionFailureDialog(FailureVariant variant) {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CONNECTION_FAILURE), nullptr,
                    ConnectionFailureDialogProc, static_cast<LPARAM>(variant));
}

INT_PTR CALLBACK ConnectionFailureDialogProc(HWND dialog, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            const auto variant = static_cast<FailureVariant>(lParam);
            // The name in use for the attempt that failed.
            const wchar_t* name =
                variant == FailureVariant::Pipe ? PortSettings.pipeName : PortSettings.serialPort;
            wchar_t text[kFailureMessageCapacity];
            ComposeFailureMessage(variant, name, text, kFailureMessageCapacity);
            SetDlgItemTextW(dialog, IDC_FAILURE_MESSAGE, text);
            return TRUE;
        }
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDOK:  // Retry, also Enter
                    DestroyWindow(dialog);
                    return TRUE;
                case IDCANCEL:  // Change configuration, also Escape and the close box
                    if (IsUserAdministrator()) {
                        RunSettingsDialog();
                        // Saved or not, the caller retries with what the record holds.
                        DestroyWindow(dialog);
                    } else {
                        ShowAdministratorRequired();
                    }
                    return TRUE;
                case IDC_FAILURE_EXIT:
                    ShutdownProgram();
                    return TRUE;
                default:
                    break;
            }
            break;
        default:
            break;
    }
    return FALSE;
}
