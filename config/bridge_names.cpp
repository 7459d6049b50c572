#include "config/bridge_names.h"

#include <cwctype>

#include "common/port_names.h"
#include "config/settings_record.h"
#include "config/settings_tables.h"

namespace {

bool IsNameCharacter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'-' || c == L'_';
}

bool IsDefaultName(const std::wstring& name) {
    return UpperCase(name) == L"VANTREL";
}

// CON, PRN, AUX, NUL, COM0-9 and LPT0-9, also with an extension and the
// superscript digits ¹ ² ³, open the device itself as a file name ("Naming
// Files, Paths, and Namespaces" in Microsoft's documentation): a bridge so
// named would have its log written to a COM port.
bool IsDeviceName(const std::wstring& name) {
    const std::wstring base = UpperCase(name.substr(0, name.find(L'.')));
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (base == device) {
            return true;
        }
    }
    const wchar_t last = base.empty() ? L'\0' : base.back();
    const bool numbered = (last >= L'0' && last <= L'9') || last == L'\u00B9' ||
                          last == L'\u00B2' || last == L'\u00B3';
    return base.size() == 4 && numbered &&
           (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0);
}

std::wstring Called(const std::wstring& name) {
    return name.empty() ? std::wstring(L"the default bridge") : L"bridge " + name;
}

}  // namespace

std::wstring BridgeNameProblem(const std::wstring& name) {
    if (name.empty() || name.size() > kBridgeNameMaxLength) {
        return L"A bridge name has 1 to 32 characters.";
    }
    if (IsDeviceName(name)) {
        return L"\"" + name +
               L"\" is the name of a Windows device (as CON, NUL, COM1 and LPT1 are), which "
               L"cannot name a bridge's log file.";
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
