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

void RunConnectionFailureDialog(Bridge& bridge, FailureVariant variant) {
    ConnectionFailure failure{bridge, variant};
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CONNECTION_FAILURE), nullptr,
                    ConnectionFailureDialogProc, reinterpret_cast<LPARAM>(&failure));
}

INT_PTR CALLBACK ConnectionFailureDialogProc(HWND dialog, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            const auto& failure = *reinterpret_cast<const ConnectionFailure*>(lParam);
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            // The name in use for the attempt that failed.
            const PortSettingsRecord& settings = failure.bridge.PortSettings;
            const wchar_t* name =
                failure.variant == FailureVariant::Pipe ? settings.pipeName : settings.serialPort;
            wchar_t text[kFailureMessageCapacity];
            ComposeFailureMessage(failure.variant, name, text, kFailureMessageCapacity);
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
                        RunSettingsDialog(reinterpret_cast<ConnectionFailure*>(
                                              GetWindowLongPtrW(dialog, DWLP_USER))
                                              ->bridge);
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
