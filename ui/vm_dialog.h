// "Virtual machine..." of the settings dialog: Hyper-V's VMs and their COM
// ports. "Use its pipe name" puts the pipe the chosen port is set to into
// the settings dialog's pipe name; "Attach it to this pipe" (administrators)
// sets the chosen port to the pipe the settings dialog names.
#pragma once

#include <windows.h>

// Modal, owned by the settings dialog, whose pipe name it reads and sets.
void RunVmDialog(HWND settings);

INT_PTR CALLBACK VmDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
