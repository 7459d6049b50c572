// --add-bridge, --remove-bridge and --list-bridges: each tells the user what
// it did and returns the process's exit code.
#pragma once

#include <string>

int AddBridge(const std::wstring& name);
int RemoveBridge(const std::wstring& name);
int ListBridgesCommand();
