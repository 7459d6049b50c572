// --add-bridge, --remove-bridge, --list-bridges, --device, --list-ports and --status: each tells
// the user
// what it did and returns the process's exit code.
#pragma once

#include <string>

int AddBridge(const std::wstring& name, const std::wstring& device);
// Sets (or, given "", clears) the adapter bridge follows.
int SetDeviceCommand(const std::wstring& bridge, const std::wstring& device);
int ListPortsCommand(bool json);
int RemoveBridge(const std::wstring& name);
int ListBridgesCommand();
// The bridges the service runs (or the one named), as status_report.h shows them.
int StatusCommand(const std::wstring& bridge, bool json);
// --trace FILE [--bridge NAME] while the service runs: the service traces
// the bridge (administrators), into its own folder only.
int ServiceTraceCommand(const std::wstring& bridge, const std::wstring& file);
