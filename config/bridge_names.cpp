#include "config/bridge_names.h"

#include <cwctype>

#include "config/settings_record.h"
#include "config/settings_tables.h"
#include "serial/port_names.h"

namespace {

bool IsNameCharacter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'-' || c == L'_';
}

bool IsDefaultName(const std::wstring& name) {
    return UpperCase(name) == L"VANTREL";
}

std::wstring Called(const std::wstring& name) {
    return name.empty() ? std::wstring(L"the default bridge") : L"bridge " + name;
}

}  // namespace

std::wstring BridgeNameProblem(const std::wstring& name) {
    if (name.empty() || name.size() > kBridgeNameMaxLength) {
        return L"A bridge name has 1 to 32 characters.";
    }
    for (const wchar_t c : name) {
        if (!IsNameCharacter(c)) {
            return L"A bridge name has only letters, digits, '-' and '_'.";
        }
    }
    if (IsDefaultName(name)) {
        return L"\"Vantrel\" is the default bridge's own name.";
    }
    return {};
}

bool IsValidBridgeName(const std::wstring& name) {
    return BridgeNameProblem(name).empty();
}

StoreLocation BridgeStore(const std::wstring& name) {
    if (name.empty()) {
        return {kStoreParentKey, kStoreSubkey};
    }
    return {kBridgesKey, name};
}

std::wstring BridgeLogFileName(const std::wstring& name) {
    return (name.empty() ? std::wstring(L"Vantrel") : name) + L".log";
}

std::wstring BridgeCaption(const std::wstring& name) {
    return name.empty() ? std::wstring(L"Vantrel") : L"Vantrel - " + name;
}

std::wstring BridgeConflict(const BridgeEnds& bridge, const std::vector<BridgeEnds>& others) {
    const std::wstring port = UpperCase(PortDevicePath(bridge.serialPort.c_str()));
    const std::wstring pipe = UpperCase(bridge.pipeName);
    for (const BridgeEnds& other : others) {
        if (UpperCase(other.name) == UpperCase(bridge.name)) {
            continue;
        }
        const bool samePort = UpperCase(PortDevicePath(other.serialPort.c_str())) == port;
        if (samePort || UpperCase(other.pipeName) == pipe) {
            std::wstring text =
                Called(bridge.name) + L" and " + Called(other.name) + L" are both set to use ";
            text += samePort ? L"COM port " + bridge.serialPort : L"pipe " + bridge.pipeName;
            text += L"; each bridge needs its own COM port and pipe.";
            text[0] = static_cast<wchar_t>(std::towupper(text[0]));
            return text;
        }
    }
    return {};
}
