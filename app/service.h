// Vantrel as a Windows service: every configured bridge in this one process,
// without a window, each keeping its Messages in its log file, writing
// start, stop, lost and returned ends and settings errors to the event log,
// and shown to status windows through the service's local pipe.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "config/bridge_names.h"

// --service: hands the process to the service control manager; returns
// once the service has stopped. The exit code.
int RunService();

// Every configured bridge: the default one (empty name) when its store
// exists and holds a pipe name (or no named bridge is there), then the
// named ones.
std::vector<std::wstring> BridgeNames();
// The ends of those whose settings can be read.
std::vector<BridgeEnds> ConfiguredBridges();

// What interactive users may do on the service's pipe: read and write data,
// and not create instances of it (which FILE_GENERIC_WRITE would allow).
inline constexpr DWORD kInteractiveViewerAccess =
    (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~FILE_CREATE_PIPE_INSTANCE;
// The security of the service's pipe, as SDDL.
std::wstring ViewerPipeSddl();
