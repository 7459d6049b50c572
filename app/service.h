// Vantrel as a Windows service: every configured bridge in this one process,
// without a window, each keeping its Messages in its log file, writing
// start, stop, lost and returned ends and settings errors to the event log,
// and shown to status windows through the service's local pipe.
#pragma once

#include <string>
#include <vector>

#include "config/bridge_names.h"

// --service: hands the process to the service control manager; returns
// once the service has stopped. The exit code.
int RunService();

// Every configured bridge: the default one (empty name) when its store
// exists, then the named ones.
std::vector<std::wstring> BridgeNames();
// The ends of those whose settings can be read.
std::vector<BridgeEnds> ConfiguredBridges();
