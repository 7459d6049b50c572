// The dialog between two attempts to open the COM port or the pipe: Retry,
// Change configuration (administrators) or Exit.
#pragma once

#include <windows.h>

#include "relay/bridge.h"
#include "ui/display_text.h"

// Modal, no owner. Returns after Retry, or after Change configuration once the
// settings dialog has closed; Exit ends the process.
void RunConnectionFailureDialog(Bridge& bridge, FailureVariant variant);

// The dialog's lParam at creation: what failed, of which bridge.
struct ConnectionFailure {
    Bridge& bridge;
    FailureVariant variant;
};

INT_PTR CALLBACK ConnectionFailureDialogProc(HWND dialog, UINT message, WPARAM wParam,
                                             LPARAM lParam);

// Shown when someone without administrator rights asks to change settings.
void ShowAdministratorRequired();
