// One SetupAPI enumeration of the COM ports, as Microsoft documents it
// ("SetupDiGetClassDevsW", "SetupDiOpenDevRegKey", "CM_Get_DevNode_PropertyW",
// "DEVPKEY_Device_LocationPaths", and for the port's name "Serial port
// names: the PortName value of the device's hardware key", Windows driver
// documentation), and the configuration manager's plug events
// ("CM_Register_Notification", Windows 8 and later).
#include "serial/com_ports.h"

#include <initguid.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <devpkey.h>
#include <setupapi.h>
#include <winioctl.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "common/handles.h"
#include "common/port_names.h"

namespace {

using UniqueDeviceInfoSet = UniqueResource<HDEVINFO, InvalidHandle, SetupDiDestroyDeviceInfoList>;

std::wstring DeviceId(DEVINST device) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    return CM_Get_Device_IDW(device, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS ? id : L"";
}

// The first of a device's location paths ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)").
std::wstring FirstLocationPath(DEVINST device) {
    wchar_t paths[2048] = {};
    ULONG size = sizeof paths - 2 * sizeof(wchar_t);
    DEVPROPTYPE type = 0;
    if (CM_Get_DevNode_PropertyW(device, &DEVPKEY_Device_LocationPaths, &type,
                                 reinterpret_cast<BYTE*>(paths), &size, 0) != CR_SUCCESS ||
        type != DEVPROP_TYPE_STRING_LIST) {
        return {};
    }
    return paths;
}

std::wstring RegistryText(HKEY key, const wchar_t* name) {
    wchar_t text[256] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    return text;
}

void ListOneClass(const GUID& guid, DWORD flags, std::vector<ComPortDevice>& devices) {
    UniqueDeviceInfoSet set(SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags | DIGCF_PRESENT));
    if (!set.IsOpen()) {
        return;
    }
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.Get(), index, &info); ++index) {
        ComPortDevice device;
        device.instanceId = DeviceId(info.DevInst);
        const bool seen = std::any_of(devices.begin(), devices.end(), [&](const ComPortDevice& d) {
            return UpperCase(d.instanceId) == UpperCase(device.instanceId);
        });
        if (seen) {
            continue;
        }
        // The hardware key holds the COM name and the driver's parameters.
        UniqueRegistryKey parameters(SetupDiOpenDevRegKey(set.Get(), &info, DICS_FLAG_GLOBAL, 0,
                                                          DIREG_DEV, KEY_QUERY_VALUE));
        if (parameters.Get() == INVALID_HANDLE_VALUE) {
            parameters.Release();
        }
        if (!parameters.IsOpen()) {
            continue;
        }
        device.portName = RegistryText(parameters.Get(), L"PortName");
        // The Ports class has the printer ports too.
        if (!IsComName(device.portName)) {
            continue;
        }
        DWORD latency = 0;
        DWORD size = sizeof latency;
        DWORD type = 0;
        if (RegQueryValueExW(parameters.Get(), L"LatencyTimer", nullptr, &type,
                             reinterpret_cast<BYTE*>(&latency), &size) == ERROR_SUCCESS &&
            type == REG_DWORD) {
            device.latencyTimerMs = latency;
        }
        wchar_t friendly[256] = {};
        if (SetupDiGetDeviceRegistryPropertyW(set.Get(), &info, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(friendly),
                                              sizeof friendly - sizeof(wchar_t), nullptr)) {
            device.friendlyName = friendly;
        }
        DEVINST parent = 0;
        const bool hasParent = CM_Get_Parent(&parent, info.DevInst, 0) == CR_SUCCESS;
        if (hasParent) {
            device.parentId = DeviceId(parent);
        }
        // A port of FTDI's bus has no location of its own: its USB device has.
        device.locationPath = FirstLocationPath(info.DevInst);
        if (device.locationPath.empty() && hasParent) {
            device.locationPath = FirstLocationPath(parent);
        }
        devices.push_back(std::move(device));
    }
}

std::vector<ComPortDevice> ListThroughSetupApi() {
    std::vector<ComPortDevice> devices;
    ListOneClass(GUID_DEVINTERFACE_COMPORT, DIGCF_DEVICEINTERFACE, devices);
    ListOneClass(GUID_DEVCLASS_PORTS, 0, devices);
    return devices;
}

// The names the drivers announce and the COMn device names, where Wine, for
// one, keeps the ports of its device folder.
std::vector<std::wstring> ListPortNames() {
    std::vector<std::wstring> names;
    UniqueRegistryKey serialComm;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      serialComm.Put()) == ERROR_SUCCESS) {
        for (DWORD index = 0;; ++index) {
            wchar_t valueName[256];
            DWORD valueNameLength = 256;
            wchar_t port[256] = {};
            DWORD portBytes = sizeof port - sizeof(wchar_t);
            DWORD type = 0;
            const LONG status =
                RegEnumValueW(serialComm.Get(), index, valueName, &valueNameLength, nullptr, &type,
                              reinterpret_cast<BYTE*>(port), &portBytes);
            if (status == ERROR_NO_MORE_ITEMS) {
                break;
            }
            if (status == ERROR_SUCCESS && type == REG_SZ && port[0] != L'\0') {
                names.emplace_back(port);
            }
        }
    } else {
        serialComm.Release();
    }
    std::vector<wchar_t> devices(64 * 1024);
    DWORD length;
    while ((length = QueryDosDeviceW(nullptr, devices.data(),
                                     static_cast<DWORD>(devices.size()))) == 0 &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER && devices.size() < 16 * 1024 * 1024) {
        devices.resize(devices.size() * 2);
    }
    for (DWORD at = 0; at < length && devices[at] != L'\0';) {
        const std::wstring name(&devices[at]);
        if (IsComName(name)) {
            names.push_back(name);
        }
        at += static_cast<DWORD>(name.size()) + 1;
    }
    return SortPortNames(names);
}

// The configuration manager's types of Windows 8 and later, as documented
// ("CM_NOTIFY_FILTER structure", "CM_NOTIFY_EVENT_DATA structure",
// "PCM_NOTIFY_CALLBACK"): the program is built for Windows 7, where the call
// does not exist, so it is looked up at run time.
struct NotifyFilter {
    DWORD cbSize;
    DWORD flags;
    DWORD filterType;  // 0: CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE
    DWORD reserved;
    GUID classGuid;  // the first member of the union, padded to its full size below
    WCHAR rest[MAX_DEVICE_ID_LEN - sizeof(GUID) / sizeof(WCHAR)];
};
struct NotifyEventData {
    DWORD filterType;
    DWORD reserved;
    GUID classGuid;
    WCHAR symbolicLink[1];
};
constexpr DWORD kInterfaceArrival = 0;  // CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL
constexpr DWORD kInterfaceRemoval = 1;  // CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL
using NotifyCallback = DWORD(CALLBACK*)(HANDLE, void*, DWORD, NotifyEventData*, DWORD);
using RegisterNotification = CONFIGRET(WINAPI*)(NotifyFilter*, void*, NotifyCallback, HANDLE*);
using UnregisterNotification = CONFIGRET(WINAPI*)(HANDLE);

struct Registration {
    void (*onPlug)(void*, bool, const std::wstring&);
    void* context;
    HANDLE handle;
    UnregisterNotification unregister;
};

DWORD CALLBACK OnNotification(HANDLE, void* context, DWORD action, NotifyEventData* data, DWORD) {
    auto* registration = static_cast<Registration*>(context);
    if (data != nullptr && (action == kInterfaceArrival || action == kInterfaceRemoval)) {
        registration->onPlug(registration->context, action == kInterfaceArrival,
                             InstanceIdOfInterface(data->symbolicLink));
    }
    return ERROR_SUCCESS;
}

void* WatchThroughConfigurationManager(void (*onPlug)(void*, bool, const std::wstring&),
                                       void* context) {
    const HMODULE library =
        GetModuleHandleW(L"cfgmgr32.dll") != nullptr
            ? GetModuleHandleW(L"cfgmgr32.dll")
            : LoadLibraryExW(L"cfgmgr32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) {
        return nullptr;
    }
    const auto registerCall = reinterpret_cast<RegisterNotification>(
        reinterpret_cast<void*>(GetProcAddress(library, "CM_Register_Notification")));
    const auto unregisterCall = reinterpret_cast<UnregisterNotification>(
        reinterpret_cast<void*>(GetProcAddress(library, "CM_Unregister_Notification")));
    if (registerCall == nullptr || unregisterCall == nullptr) {
        return nullptr;
    }
    auto registration =
        std::make_unique<Registration>(Registration{onPlug, context, nullptr, unregisterCall});
    NotifyFilter filter{};
    filter.cbSize = sizeof filter;
    filter.classGuid = GUID_DEVINTERFACE_COMPORT;
    if (registerCall(&filter, registration.get(), OnNotification, &registration->handle) !=
        CR_SUCCESS) {
        return nullptr;
    }
    return registration.release();
}

void UnwatchThroughConfigurationManager(void* opaque) {
    // CM_Unregister_Notification returns after any callback in progress.
    std::unique_ptr<Registration> registration(static_cast<Registration*>(opaque));
    registration->unregister(registration->handle);
}

}  // namespace

PortEnumerationCalls PortEnumeration = {ListThroughSetupApi, WatchThroughConfigurationManager,
                                        UnwatchThroughConfigurationManager};

std::vector<ComPortDevice> ListComPorts() {
    std::vector<ComPortDevice> devices = PortEnumeration.listDevices();
    if (devices.empty()) {
        for (const std::wstring& name : ListPortNames()) {
            ComPortDevice device;
            device.portName = name;
            devices.push_back(device);
        }
    }
    std::stable_sort(devices.begin(), devices.end(),
                     [](const ComPortDevice& a, const ComPortDevice& b) {
                         return PortNameBefore(a.portName, b.portName);
                     });
    return devices;
}

PortChoice ChoosePort(const PortSettingsRecord& settings) {
    PortChoice choice;
    choice.portName = settings.serialPort;
    const std::vector<ComPortDevice> devices = ListComPorts();
    DeviceSelector selector;
    if (settings.device[0] != L'\0') {
        choice.deviceProblem = ParseDeviceSelector(settings.device, selector);
        choice.followed = choice.deviceProblem.empty();
    }
    if (choice.followed) {
        choice.byLocation = SelectsByLocation(selector);
        const AdapterFound found = FindAdapter(selector, devices);
        choice.search = found.result;
        if (found.result != AdapterSearch::Found) {
            choice.portName.clear();
            return choice;
        }
        choice.device = *found.device;
        choice.portName = found.device->portName;
        return choice;
    }
    // A port named by its COM name: its device, when listed, for the plug
    // events and the adapter's notes.
    for (const ComPortDevice& device : devices) {
        if (UpperCase(device.portName) == UpperCase(choice.portName)) {
            choice.device = device;
        }
    }
    return choice;
}

bool PortPlugWatch::Start(void (*onPlug)(void*, bool, const std::wstring&), void* context) {
    Stop();
    registration_ = PortEnumeration.watch(onPlug, context);
    return registration_ != nullptr;
}

void PortPlugWatch::Stop() {
    if (registration_ != nullptr) {
        PortEnumeration.unwatch(std::exchange(registration_, nullptr));
    }
}
