#include "serial/device_identity.h"

#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "common/port_names.h"
#include "config/settings_record.h"

namespace {

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(separator, from);
        parts.push_back(text.substr(from, at - from));
        if (at == std::wstring::npos) {
            return parts;
        }
        from = at + 1;
    }
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return UpperCase(text.substr(0, wcslen(prefix))) == prefix;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return UpperCase(a) == UpperCase(b);
}

// Windows makes the last part of an ID from the USB socket when the device
// reports no usable serial number; such a part always holds "&", which the
// USB driver does not accept in a serial number.
bool IsRealSerial(const std::wstring& part) {
    return !part.empty() && part.find(L'&') == std::wstring::npos;
}

struct UsbIds {
    bool usb = false;
    std::wstring vendorId, productId, serial, interface;
};

// "USB\VID_0403&PID_6001&MI_02\SERIAL" or "FTDIBUS\VID_0403+PID_6001+SERIALA\0000".
UsbIds ParseUsbId(const std::wstring& instanceId) {
    UsbIds ids;
    const std::vector<std::wstring> parts = Split(instanceId, L'\\');
    if (parts.size() != 3) {
        return ids;
    }
    const bool ftdi = SameText(parts[0], L"FTDIBUS");
    if (!ftdi && !SameText(parts[0], L"USB")) {
        return ids;
    }
    const std::vector<std::wstring> words = Split(parts[1], ftdi ? L'+' : L'&');
    for (const std::wstring& word : words) {
        if (StartsWith(word, L"VID_")) {
            ids.vendorId = UpperCase(word.substr(4));
        } else if (StartsWith(word, L"PID_")) {
            ids.productId = UpperCase(word.substr(4));
        } else if (StartsWith(word, L"MI_")) {
            ids.interface = UpperCase(word.substr(3));
        }
    }
    ids.usb = !ids.vendorId.empty() && !ids.productId.empty();
    if (ftdi) {
        // FTDI's driver puts the serial number and the channel letter in the
        // device's own part; its last part is a counter.
        if (words.size() == 3 && IsRealSerial(words[2]) && words[2].size() > 1) {
            ids.serial = words[2].substr(0, words[2].size() - 1);
            const std::wstring channel = UpperCase(words[2].substr(words[2].size() - 1));
            ids.interface = channel == L"A" ? L"" : channel;
        }
    } else if (IsRealSerial(parts[2])) {
        ids.serial = parts[2];
    }
    return ids;
}

std::wstring JsonString(const std::wstring& text) {
    std::wstring quoted = L"\"";
    for (const wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            quoted += L'\\';
            quoted += c;
        } else if (c < 0x20) {
            wchar_t escape[8];
            std::swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + L"\"";
}

// "USB Serial Port (COM7)" without its " (COM7)".
std::wstring DescriptionOf(const ComPortDevice& port) {
    const std::wstring suffix = L" (" + port.portName + L")";
    std::wstring name = port.friendlyName;
    if (name.size() > suffix.size() && SameText(name.substr(name.size() - suffix.size()), suffix)) {
        name.resize(name.size() - suffix.size());
    }
    return SameText(name, port.portName) ? L"" : name;
}

}  // namespace

AdapterIdentity IdentifyAdapter(const ComPortDevice& device) {
    AdapterIdentity identity;
    identity.instanceId = device.instanceId;
    UsbIds ids = ParseUsbId(device.instanceId);
    // An interface of a composite device, or a port of FTDI's bus without a
    // serial of its own: the USB device above it may carry one.
    const UsbIds parent = ParseUsbId(device.parentId);
    if (!ids.usb && parent.usb) {
        ids.usb = true;
        ids.vendorId = parent.vendorId;
        ids.productId = parent.productId;
    }
    if (ids.usb && ids.serial.empty() && parent.usb && parent.vendorId == ids.vendorId &&
        parent.productId == ids.productId) {
        ids.serial = parent.serial;
    }
    identity.usb = ids.usb;
    identity.vendorId = ids.vendorId;
    identity.productId = ids.productId;
    identity.serial = ids.serial;
    identity.interface = ids.interface;
    identity.location = device.locationPath;
    return identity;
}

std::wstring IdentityText(const AdapterIdentity& identity) {
    if (!identity.usb || (identity.serial.empty() && identity.location.empty())) {
        return identity.instanceId;
    }
    std::wstring text = L"USB VID_" + identity.vendorId + L" PID_" + identity.productId;
    text += identity.serial.empty() ? L" LOC " + identity.location : L" SN " + identity.serial;
    if (!identity.interface.empty()) {
        text += L" IF " + identity.interface;
    }
    return text;
}

std::wstring AdapterLabel(const AdapterIdentity& identity) {
    return identity.serial.empty() ? IdentityText(identity) : identity.serial;
}

std::wstring ParseDeviceSelector(const std::wstring& text, DeviceSelector& selector) {
    selector = DeviceSelector{};
    std::vector<std::wstring> words;
    for (const std::wstring& word : Split(text, L' ')) {
        if (!word.empty()) {
            words.push_back(word);
        }
    }
    if (words.empty()) {
        return L"it is empty";
    }
    if (words.size() == 1 && words[0].find(L'\\') != std::wstring::npos) {
        selector.instance = true;
        selector.instanceId = words[0];
        return {};
    }
    if (!SameText(words[0], L"USB")) {
        return L"give a device instance ID (USB\\VID_0403&PID_6001\\A10K2QXY) or the short form "
               L"USB VID_0403 PID_6001 SN A10K2QXY";
    }
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::wstring word = UpperCase(words[i]);
        if (word.size() == 8 && (StartsWith(word, L"VID_") || StartsWith(word, L"PID_"))) {
            (word[0] == L'V' ? selector.vendorId : selector.productId) = word.substr(4);
            continue;
        }
        std::wstring* value = word == L"SN"    ? &selector.serial
                              : word == L"IF"  ? &selector.interface
                              : word == L"LOC" ? &selector.location
                                               : nullptr;
        if (value == nullptr) {
            return L"\"" + words[i] + L"\" is not one of VID_xxxx, PID_xxxx, SN, IF or LOC";
        }
        if (i + 1 == words.size()) {
            return words[i] + L" needs a value after it";
        }
        *value = words[++i];
    }
    selector.interface = UpperCase(selector.interface);
    if (selector.vendorId.empty() || selector.productId.empty()) {
        return L"it needs the vendor and the product (VID_xxxx PID_xxxx)";
    }
    if (selector.serial.empty() && selector.location.empty()) {
        return L"it needs a serial number (SN) or, for an adapter without one, its USB location "
               L"(LOC)";
    }
    return {};
}

bool SelectorMatches(const DeviceSelector& selector, const ComPortDevice& device) {
    if (selector.instance) {
        return SameText(selector.instanceId, device.instanceId) ||
               (!device.parentId.empty() && SameText(selector.instanceId, device.parentId));
    }
    const AdapterIdentity identity = IdentifyAdapter(device);
    return identity.usb && SameText(selector.vendorId, identity.vendorId) &&
           SameText(selector.productId, identity.productId) &&
           (selector.serial.empty() || SameText(selector.serial, identity.serial)) &&
           (selector.location.empty() || SameText(selector.location, identity.location)) &&
           selector.interface == identity.interface;
}

bool SelectsByLocation(const DeviceSelector& selector) {
    return !selector.instance && selector.serial.empty();
}

AdapterFound FindAdapter(const DeviceSelector& selector,
                         const std::vector<ComPortDevice>& devices) {
    AdapterFound found = {AdapterSearch::Missing, nullptr};
    for (const ComPortDevice& device : devices) {
        if (SelectorMatches(selector, device)) {
            if (found.device != nullptr) {
                // Two adapters with one serial number (cheap clones share
                // one): opening either could be the wrong device.
                return {AdapterSearch::Ambiguous, nullptr};
            }
            found = {AdapterSearch::Found, &device};
        }
    }
    return found;
}

std::wstring InstanceIdOfInterface(const std::wstring& symbolicLink) {
    if (symbolicLink.size() < 4 || (symbolicLink.compare(0, 4, L"\\\\?\\") != 0 &&
                                    symbolicLink.compare(0, 4, L"\\\\.\\") != 0)) {
        return {};
    }
    const std::size_t guid = symbolicLink.rfind(L"#{");
    if (guid == std::wstring::npos || guid <= 4) {
        return {};
    }
    std::wstring id = symbolicLink.substr(4, guid - 4);
    for (wchar_t& c : id) {
        if (c == L'#') {
            c = L'\\';
        }
    }
    return id;
}

std::wstring PortsPresentText(const std::vector<ComPortDevice>& ports) {
    if (ports.empty()) {
        return L"No COM ports present\r\n";
    }
    std::wstring text = L"COM ports present: ";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const std::wstring description = DescriptionOf(ports[i]);
        text += (i == 0 ? L"" : L", ") + ports[i].portName +
                (description.empty() ? L"" : L" (" + description + L")");
    }
    return text + L"\r\n";
}

std::wstring PortListText(const std::vector<ComPortDevice>& ports) {
    if (ports.empty()) {
        return L"No COM ports present.";
    }
    std::wstring text;
    for (const ComPortDevice& port : ports) {
        const std::wstring identity = IdentityText(IdentifyAdapter(port));
        text += (text.empty() ? L"" : L"\r\n") + port.portName;
        for (const std::wstring& part : {port.friendlyName, identity}) {
            if (!part.empty()) {
                text += L"  " + part;
            }
        }
    }
    return text;
}

std::wstring PortListJson(const std::vector<ComPortDevice>& ports) {
    std::wstring json = L"[";
    for (const ComPortDevice& port : ports) {
        const AdapterIdentity identity = IdentifyAdapter(port);
        json += (json.size() == 1 ? L"\n  {" : L",\n  {");
        json += L"\"port\": " + JsonString(port.portName);
        json += L", \"friendlyName\": " + JsonString(port.friendlyName);
        json += L", \"instanceId\": " + JsonString(port.instanceId);
        json += L", \"vendorId\": " + JsonString(identity.vendorId);
        json += L", \"productId\": " + JsonString(identity.productId);
        json += L", \"serial\": " + JsonString(identity.serial);
        json += L", \"location\": " + JsonString(identity.location);
        json += L", \"device\": " + JsonString(IdentityText(identity)) + L"}";
    }
    return json + (ports.empty() ? L"]" : L"\n]");
}
