#include "common/process_state.h"

HINSTANCE ModuleInstance;
void (*ShutdownProgram)() = nullptr;
