// COM-port names as users write them and as Windows opens them, and the
// list of the ports a host has. Platform-free.
#pragma once

#include <string>
#include <vector>

// The path that opens a port: a name without a backslash ("COM3", "COM12",
// any device name) gets "\\.\" in front, since Windows opens only COM1 to
// COM9 by their bare names; a name that is a path already is used as it is.
std::wstring PortDevicePath(const wchar_t* name);

// Whether name is COMn (any case, n from 1).
bool IsComName(const std::wstring& name);

// Each name once (whatever its case), the COMn names first in the order of
// their numbers, then any others in alphabetical order.
std::vector<std::wstring> SortPortNames(std::vector<std::wstring> names);

// The order of SortPortNames.
bool PortNameBefore(const std::wstring& a, const std::wstring& b);
