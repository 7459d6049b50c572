// Start-up runs strictly in order on the user-interface thread: splash, icons,
// settings, status window, COM port, events, pipe, line settings shown, relay
// threads, then the message loop for the rest of the process's life. The
// pipe is not looked for until the COM port is open, and no byte is relayed
// until both are.
#include "app/startup.h"

#include "app/connect.h"
#include "app/service.h"
#include "common/process_state.h"
#include "common/secure_files.h"
#include "config/settings_store.h"
#include "relay/bridge.h"
#include "ui/message_box.h"
#include "ui/settings_reports.h"
#include "ui/status_window.h"

namespace {

// The bridge the window relays, for the exit routine, which takes no
// argument; the window and its actions are handed the bridge itself.
Bridge* desk = nullptr;

// Nothing waits on these events; only their creation matters.
bool CreateStartupEvents() {
    for (int pair = 0; pair < 8; ++pair) {
        if (CreateEventW(nullptr, TRUE, TRUE, nullptr) == nullptr) {
            ShowErrorBox(L"Event initialization failed.  Please try again.");
            return false;
        }
        if (CreateEventW(nullptr, TRUE, TRUE, nullptr) == nullptr) {
            ShowErrorBox(
                L"Event initialization failed.  Please restart the program and try again.");
            return false;
        }
    }
    return true;
}

// The path as given: --trace and the Save As dialog give whole paths, and
// the trace refuses any other.
bool StartTraceOf(Bridge& bridge, const wchar_t* path) {
    return StartBridgeTrace(bridge, path).Done();
}

void StopTraceOf(Bridge& bridge) {
    StopBridgeTrace(bridge);
}

bool TracingOf(Bridge& bridge) {
    return TakeSnapshot(bridge).tracing;
}

// Two bridges set to the same COM port or pipe would fight over it.
bool RefusedForSharedEnds(const Bridge& bridge) {
    const std::wstring conflict =
        BridgeConflict({bridge.name, bridge.PortSettings.serialPort, bridge.PortSettings.pipeName},
                       ConfiguredBridges());
    if (conflict.empty()) {
        return false;
    }
    ShowErrorBox(conflict.c_str());
    return true;
}

// The Messages of this bridge last in its file under the user's own
// %LOCALAPPDATA%\Vantrel: whoever runs the window, administrators too, so
// that no window writes where the service does. Empty, or why there is no
// log file, for the Messages once the window is there.
std::wstring StartProgramLog(Bridge& bridge) {
    const std::wstring problem =
        PrepareDataFolder(DeskDataRoot(), DeskDataFolder(), FolderMaking::Inherited);
    if (!problem.empty()) {
        return L"No log file: " + problem + L"\r\n";
    }
    StartBridgeLog(bridge, DeskDataFolder() + L"\\" + BridgeLogFileName(bridge.name));
    return {};
}

// Exit: the relay threads end before the process does, so that none is cut
// off part-way through a chunk; both ends are closed, which tells the
// virtual machine and frees the COM port; then whatever the trace and the log
// file still hold is written, the trace first, whose stop is logged.
// ExitProcess rather than exit(), so that no static record is destroyed
// under a worker thread that could not be stopped in time.
constexpr DWORD kRelayStopAtExitMs = 2000;
void ShutdownDesk() {
    StopBridgeRelay(*desk, kRelayStopAtExitMs);
    StopBridgeTrace(*desk);
    StopLogFile(desk->log);
    ExitProcess(0);
}

}  // namespace

int RunVantrel(HINSTANCE instance, int showCommand, const std::wstring& name,
               const std::wstring& traceFile) {
    static Bridge bridge(name);
    desk = &bridge;
    ShowSplash(instance, showCommand);
    LoadIndicatorIcons(instance);
    ModuleInstance = instance;
    if (!LoadSettings(bridge)) {
        ApplyStartupDefaults(bridge);
    }
    if (RefusedForSharedEnds(bridge)) {
        return 1;
    }
    const std::wstring logProblem = StartProgramLog(bridge);
    PrepareBridgeRelay(bridge);
    WindowActions = {nullptr, nullptr, StartTraceOf, StopTraceOf, TracingOf, nullptr};
    ShutdownProgram = ShutdownDesk;
    const std::wstring caption = BridgeCaption(name);
    if (!CreateStatusWindow(instance, showCommand, bridge, caption.c_str())) {
        return 0;
    }
    if (!logProblem.empty()) {
        AppendLogEntry(bridge.status, logProblem.c_str());
    }

    const HANDLE serial = OpenSerialPort(bridge);
    if (!IsOpenHandle(serial)) {
        AppendLogEntry(bridge.status, L"-- Serial port initialization failed --\r\n");
        return 0;
    }
    SetStatusLine(bridge.status, L"Setting up events");
    if (!CreateStartupEvents()) {
        return 0;
    }
    SetStatusLine(bridge.status, L"Looking for pipe server");
    const HANDLE pipe = ConnectPipe(bridge);
    if (pipe == INVALID_HANDLE_VALUE) {
        ShowErrorBox(
            L"Pipe initialization failed.  Did you create a named pipe in the Hyper-V settings?");
        return 0;
    }

    SetStatusLine(bridge.status, L"Setting up serial");
    ShowLineSettings(bridge, serial);
    if (!traceFile.empty()) {
        StartTraceOf(bridge, traceFile.c_str());
    }
    if (const BridgeOutcome started = StartBridgeRelay(bridge, pipe, serial); !started.Done()) {
        ShowErrorBox(started.text.c_str());
        return 0;
    }
    SetStatusLine(bridge.status, L"Connected");
    // Every way out the program offers ends the process in ShutdownProgram;
    // this is reached only by a quit message from elsewhere.
    const int exitCode = RunStatusWindow();
    StopBridgeRelay(bridge, kRelayStopAtExitMs);
    return exitCode;
}
