// The status window of a bridge that runs in the service: it shows what the
// service tells it, and Reset and saved settings act on the service.
#pragma once

#include <windows.h>

#include <string>

int RunViewer(HINSTANCE instance, int showCommand, const std::wstring& bridge);
