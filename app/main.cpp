// Vantrel: joins a COM port of this computer to the COM port of a Hyper-V
// virtual machine, which Hyper-V offers as a named pipe.
#include <windows.h>

#include "app/program.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    return RunProgram(instance, showCommand);
}
