// --add-bridge, --remove-bridge, --list-bridges, --device and --list-ports: each tells the user
// what it did and returns the process's exit code.
#pragma once

#include <string>

int AddBridge(const std::wstring& name, const std::wstring& device);
// Sets (or, given "", clears) the adapter bridge follows.
int SetDeviceCommand(const std::wstring& bridge, const std::wstring& device);
int ListPortsCommand(bool json);
int RemoveBridge(const std::wstring& name);
int ListBridgesCommand();
