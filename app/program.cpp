#include "app/program.h"

#include <shellapi.h>

#include <string>
#include <vector>

#include "app/bridge_commands.h"
#include "app/command_line.h"
#include "app/console.h"
#include "app/service.h"
#include "app/service_control.h"
#include "app/startup.h"
#include "app/viewer.h"
#include "app/vm_commands.h"
#include "common/handles.h"
#include "common/process_state.h"
#include "config/settings_store.h"

namespace {

std::vector<std::wstring> Arguments() {
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> arguments;
    for (int i = 1; words != nullptr && i < count; ++i) {
        arguments.emplace_back(words[i]);
    }
    LocalFree(words);
    return arguments;
}

struct FoundWindow {
    std::wstring caption;
    HWND window;
};

// The status window of a bridge, whether it relays itself or shows the
// service's: its caption is the bridge's.
BOOL CALLBACK MatchCaption(HWND window, LPARAM argument) {
    auto& found = *reinterpret_cast<FoundWindow*>(argument);
    wchar_t caption[128];
    GetWindowTextW(window, caption, 128);
    if (found.caption == caption || found.caption + L" (service)" == caption) {
        found.window = window;
        return FALSE;
    }
    return TRUE;
}

// A second start of a bridge brings the running one's window to the front
// instead of opening the port again. Held for the life of the process.
bool TakeBridge(const std::wstring& bridge) {
    // Names compare in any case, as the bridges' keys do.
    const std::wstring name = L"Local\\Orbenwick.Vantrel.Bridge." + UpperCase(bridge);
    static UniqueKernelHandle owner;
    owner = UniqueKernelHandle(CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!owner.IsOpen() || GetLastError() != ERROR_ALREADY_EXISTS) {
        return true;
    }
    owner.Reset();
    FoundWindow found = {BridgeCaption(bridge), nullptr};
    EnumWindows(MatchCaption, reinterpret_cast<LPARAM>(&found));
    if (found.window != nullptr) {
        ShowWindow(found.window, SW_RESTORE);
        SetForegroundWindow(found.window);
    }
    return false;
}

// The viewer's way out, and the desk window's until it has a relay to stop.
void EndProcess() {
    ExitProcess(0);
}

}  // namespace

int RunProgram(HINSTANCE instance, int showCommand) {
    ShutdownProgram = EndProcess;
    const CommandLine line = ParseCommandLine(Arguments());
    if (!line.error.empty()) {
        TellUser(line.error + L"\r\n\r\n" + kUsageText, true);
        return 2;
    }
    switch (line.mode) {
        case ProgramMode::Help:
            TellUser(kUsageText, false);
            return 0;
        case ProgramMode::Service:
            return RunService();
        case ProgramMode::InstallService:
            return InstallService();
        case ProgramMode::UninstallService:
            return UninstallService();
        case ProgramMode::AddBridge:
            return AddBridge(line.bridge, line.device);
        case ProgramMode::SetDevice:
            return SetDeviceCommand(line.bridge, line.device);
        case ProgramMode::ListPorts:
            return ListPortsCommand(line.json);
        case ProgramMode::RemoveBridge:
            return RemoveBridge(line.bridge);
        case ProgramMode::ListBridges:
            return ListBridgesCommand();
        case ProgramMode::Status:
            return StatusCommand(line.bridge, line.json);
        case ProgramMode::ListVms:
            return ListVmsCommand(line.json);
        case ProgramMode::AttachVm:
            return AttachVmCommand(line);
        case ProgramMode::DetachVm:
            return DetachVmCommand(line);
        case ProgramMode::Window:
            break;
    }
    if (!line.bridge.empty() && !StoreExists(BridgeStore(line.bridge))) {
        TellUser(L"There is no bridge " + line.bridge + L". --list-bridges shows the bridges.",
                 true);
        return 1;
    }
    if (!line.traceFile.empty() && IsServiceRunning()) {
        return ServiceTraceCommand(line.bridge, line.traceFile);
    }
    if (!TakeBridge(line.bridge)) {
        return 0;
    }
    if (IsServiceRunning()) {
        return RunViewer(instance, showCommand, line.bridge);
    }
    return RunVantrel(instance, showCommand, line.bridge, line.traceFile);
}
