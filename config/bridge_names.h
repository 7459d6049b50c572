// Bridges and where their settings live: the unnamed default bridge in
// HKLM\Software\Orbenwick\Vantrel, a bridge NAME under ...\Vantrel\Bridges\NAME.
// Platform-free.
#pragma once

#include <string>
#include <vector>

// Names are 1 to 32 letters, digits, '-' or '_'; "Vantrel" (any case) is the
// default bridge's own name (its log file, its window) and cannot be taken,
// nor can the names of Windows devices (CON, NUL, COM1, LPT1, ...).
inline constexpr std::size_t kBridgeNameMaxLength = 32;
bool IsValidBridgeName(const std::wstring& name);
// Why name is refused, for the user; empty when it is valid.
std::wstring BridgeNameProblem(const std::wstring& name);

// Under HKEY_LOCAL_MACHINE: the key that holds a bridge's values is
// parent\subkey.
struct StoreLocation {
    std::wstring parent;
    std::wstring subkey;
};
inline constexpr wchar_t kBridgesKey[] = L"Software\\Orbenwick\\Vantrel\\Bridges";
// An empty name is the default bridge.
StoreLocation BridgeStore(const std::wstring& name);

// The file its Messages are kept in, under %ProgramData%\Vantrel.
std::wstring BridgeLogFileName(const std::wstring& name);
// "Vantrel", or "Vantrel - NAME".
std::wstring BridgeCaption(const std::wstring& name);

// What makes two bridges fight: their COM port and their pipe.
struct BridgeEnds {
    std::wstring name;  // empty: the default bridge
    std::wstring serialPort;
    std::wstring pipeName;
};
// Why bridge may not start while another of others uses its COM port (as
// Windows opens it: "COM3" is "\\.\com3") or its pipe (names in any case);
// the text names both bridges. Empty when none does.
std::wstring BridgeConflict(const BridgeEnds& bridge, const std::vector<BridgeEnds>& others);
