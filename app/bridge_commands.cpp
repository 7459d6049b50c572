#include "app/bridge_commands.h"

#include <windows.h>

#include "app/console.h"
#include "app/service.h"
#include "app/service_control.h"
#include "app/service_pipe_client.h"
#include "app/status_report.h"
#include "common/system_text.h"
#include "config/settings_store.h"
#include "serial/com_ports.h"

int AddBridge(const std::wstring& name, const std::wstring& device) {
    if (RefusedWithoutAdministrator()) {
        return 1;
    }
    if (StoreExists(BridgeStore(name))) {
        TellUser(L"There is a bridge " + name + L" already.", true);
        return 1;
    }
    if (const LONG status = CreateBridgeStore(name); status != ERROR_SUCCESS) {
        return TellFailure(L"Couldn't make bridge " + name, static_cast<DWORD>(status));
    }
    if (const LONG status = WriteStoredDevice(BridgeStore(name), device.c_str());
        status != ERROR_SUCCESS) {
        return TellFailure(L"Made bridge " + name + L", but couldn't set its Device",
                           static_cast<DWORD>(status));
    }
    if (!device.empty()) {
        TellUser(L"Added bridge " + name + L", following the adapter " + device +
                     L" (default pipe Vantrel, 9600 baud). Set its pipe with: Vantrel.exe "
                     L"--bridge " +
                     name + L", then Change settings.",
                 false);
        return 0;
    }
    TellUser(L"Added bridge " + name +
                 L" with the default settings (COM3, pipe Vantrel, 9600 baud). Set its own COM "
                 L"port and pipe with: Vantrel.exe --bridge " +
                 name +
                 L", then Change settings. A running service starts it as its values are set.",
             false);
    return 0;
}

int RemoveBridge(const std::wstring& name) {
    if (RefusedWithoutAdministrator()) {
        return 1;
    }
    if (!StoreExists(BridgeStore(name))) {
        TellUser(L"There is no bridge " + name + L". --list-bridges shows the bridges.", true);
        return 1;
    }
    if (const LONG status = DeleteBridgeStore(name); status != ERROR_SUCCESS) {
        return TellFailure(L"Couldn't remove bridge " + name, static_cast<DWORD>(status));
    }
    TellUser(L"Removed bridge " + name + L".", false);
    return 0;
}

int SetDeviceCommand(const std::wstring& bridge, const std::wstring& device) {
    if (RefusedWithoutAdministrator()) {
        return 1;
    }
    const std::wstring shown = bridge.empty() ? L"The default bridge" : L"Bridge " + bridge;
    if (!StoreExists(BridgeStore(bridge))) {
        TellUser(L"There is no bridge " + bridge + L". --list-bridges shows the bridges.", true);
        return 1;
    }
    if (const LONG status = WriteStoredDevice(BridgeStore(bridge), device.c_str());
        status != ERROR_SUCCESS) {
        return TellFailure(L"Couldn't set the Device of " + shown, static_cast<DWORD>(status));
    }
    TellUser(device.empty() ? shown + L" follows no adapter: it opens its Serial port."
                            : shown + L" follows the adapter " + device +
                                  L" under whatever COM name it has (from its next start, or at "
                                  L"once in a running service).",
             false);
    return 0;
}

int ListPortsCommand(bool json) {
    const std::vector<ComPortDevice> ports = ListComPorts();
    TellUser(json ? PortListJson(ports) : PortListText(ports), false);
    return 0;
}

int ListBridgesCommand() {
    std::wstring text;
    for (const std::wstring& name : BridgeNames()) {
        PortSettingsRecord settings{};
        const std::wstring shown = name.empty() ? L"(default)" : name;
        if (!ReadSettingsStore(settings, BridgeStore(name)).read) {
            text += shown + L"  (its settings cannot be read)\r\n";
            continue;
        }
        text += shown + L"  port " + settings.serialPort + L"  pipe " + settings.pipeName + L"  " +
                std::to_wstring(settings.baudRate) + L" baud" +
                (settings.device[0] != L'\0' ? L"  device " + std::wstring(settings.device) : L"") +
                L"\r\n";
    }
    if (text.empty()) {
        text = L"No bridge is configured.";
    } else {
        text.resize(text.size() - 2);
    }
    TellUser(text, false);
    return 0;
}

namespace {

// One request to the running service, its reply parsed; false (said) when
// the service does not answer or another program poses as it.
bool AskService(ViewerCommand command, const std::wstring& bridge, ViewerReply& reply,
                const std::wstring& traceFile = L"") {
    std::wstring messages;
    const ServiceAnswer answer =
        AskTheService(MakeViewerRequest(command, bridge, 0, traceFile), reply, messages);
    if (answer == ServiceAnswer::Answered) {
        return true;
    }
    TellUser(answer == ServiceAnswer::Posing ? kPosingText : kSilentText, true);
    return false;
}

bool Unknown(const ViewerReply& reply) {
    return reply.status == static_cast<std::uint16_t>(ViewerStatus::UnknownBridge);
}

}  // namespace

int StatusCommand(const std::wstring& bridge, bool json) {
    if (!IsServiceRunning()) {
        TellUser(L"The Vantrel service is not running.", true);
        return 1;
    }
    std::vector<BridgeStatus> shown;
    for (const std::wstring& name : bridge.empty() ? BridgeNames() : std::vector{bridge}) {
        BridgeStatus status{name, {}, {}};
        if (!AskService(ViewerCommand::Snapshot, name, status.reply)) {
            return 1;
        }
        if (Unknown(status.reply)) {
            if (!bridge.empty()) {
                TellUser(L"The Vantrel service runs no bridge " + bridge + L".", true);
                return 2;
            }
            continue;
        }
        ULARGE_INTEGER since;
        since.QuadPart = status.reply.connectedSince;
        const FILETIME file = {since.LowPart, since.HighPart};
        SYSTEMTIME time{};
        if (since.QuadPart != 0 && FileTimeToSystemTime(&file, &time)) {
            wchar_t text[32];
            swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02uZ", time.wYear, time.wMonth,
                     time.wDay, time.wHour, time.wMinute, time.wSecond);
            status.since = text;
        }
        shown.push_back(status);
    }
    TellUser(json ? StatusJson(shown) : StatusText(shown), false);
    return StatusExitCode(shown);
}

int ServiceTraceCommand(const std::wstring& bridge, const std::wstring& file) {
    if (RefusedWithoutAdministrator()) {
        return 1;
    }
    ViewerReply reply{};
    if (!AskService(ViewerCommand::StartTrace, bridge, reply, file)) {
        return 1;
    }
    const std::wstring shown = bridge.empty() ? L"the default bridge" : L"bridge " + bridge;
    if (Unknown(reply)) {
        TellUser(L"The Vantrel service runs no " + shown + L".", true);
        return 1;
    }
    if (reply.status != static_cast<std::uint16_t>(ViewerStatus::Ok)) {
        TellUser(L"The Vantrel service does not trace " + shown + L": " +
                     FromWire(reply.statusLine, kViewerTextCapacity),
                 true);
        return 1;
    }
    TellUser(L"The Vantrel service traces " + shown + L" into " + file +
                 L" until \"Stop trace\" in its status window.",
             false);
    return 0;
}
