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
#include "relay/link_recovery.h"
#include "relay/relay_pumps.h"
#include "ui/message_box.h"
#include "ui/settings_reports.h"
#include "ui/status_window.h"

namespace {

// Everything of the bridge the window relays: RunVantrel makes it, for the
// life of the process, and hands it to what needs it.
struct Bridge {
    std::wstring name;  // empty: the default bridge
    LogFile log;
    RelayContextRecord RelayContext{
        {SRWLOCK_INIT, nullptr}, {SRWLOCK_INIT, nullptr}, ProgramStatus};
};

// The window's actions and the exit routine take no argument: they find the
// window's bridge here.
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

bool StartRelayThreads(RelayContextRecord& context) {
    // Before the relay threads, which report lost ends to them. Without them
    // a lost end stays lost until the next start; the relay runs all the same.
    StartLinkKeepers(context);
    if (!StartRelayPump(context, PipeToSerialPump)) {
        ShowErrorBox(L"Couldn't start pipe reader thread.");
        return false;
    }
    // The serial reader also watches the modem lines.
    if (!StartRelayPump(context, SerialToPipePump)) {
        ShowErrorBox(L"Couldn't start serial reader thread.");
        return false;
    }
    return true;
}

// The path as given: --trace and the Save As dialog give whole paths, and
// StartTrace refuses any other.
bool StartTraceTo(const wchar_t* path) {
    return StartTrace(desk->RelayContext.trace, ProgramStatus, path);
}

void StopTraceNow() {
    StopTrace(desk->RelayContext.trace);
}

// Exit: the relay threads end before the process does, so that none is cut
// off part-way through a chunk; then both ends are closed, which tells the
// virtual machine and frees the COM port.
constexpr DWORD kRelayStopAtExitMs = 2000;
void StopRelayForExit(RelayContextRecord& relay) {
    if (StopRelay(relay, kRelayStopAtExitMs)) {
        ReplaceLinkHandle(relay.serial, INVALID_HANDLE_VALUE);
        ReplaceLinkHandle(relay.pipe, INVALID_HANDLE_VALUE);
    }
}

bool Tracing() {
    return IsTracing(desk->RelayContext.trace);
}

// Two bridges set to the same COM port or pipe would fight over it.
bool RefusedForSharedEnds(const std::wstring& bridge) {
    const std::wstring conflict = BridgeConflict(
        {bridge, PortSettings.serialPort, PortSettings.pipeName}, ConfiguredBridges());
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
    std::wstring problem =
        PrepareDataFolder(DeskDataRoot(), DeskDataFolder(), FolderMaking::Inherited);
    const std::wstring path = DeskDataFolder() + L"\\" + BridgeLogFileName(bridge.name);
    DWORD error = ERROR_SUCCESS;
    if (problem.empty()) {
        OpenDataFile(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     error, &problem);
    }
    if (error == kLinkRefusedError) {
        problem = path + L" is not written to: " + problem;
    }
    if (!problem.empty()) {
        return L"No log file: " + problem + L"\r\n";
    }
    bridge.log.reportFailure = ReportLogFileFailure;
    bridge.log.reportContext = &ProgramStatus;
    if (StartLogFile(bridge.log, path)) {
        ProgramStatus.file = &bridge.log;
    }
    return {};
}

// Whatever the trace and the log file still hold is written before the
// process ends, after the relay has stopped; the trace first, whose stop is
// logged. ExitProcess rather than exit(), so that no static record is
// destroyed under a worker thread that could not be stopped in time.
void ShutdownDesk() {
    StopRelayForExit(desk->RelayContext);
    StopTraceNow();
    StopLogFile(desk->log);
    ExitProcess(0);
}

}  // namespace

int RunVantrel(HINSTANCE instance, int showCommand, const std::wstring& name,
               const std::wstring& traceFile) {
    static Bridge bridge{name, {}};
    desk = &bridge;
    ShowSplash(instance, showCommand);
    LoadIndicatorIcons(instance);
    ModuleInstance = instance;
    if (!LoadSettings()) {
        ApplyStartupDefaults();
    }
    if (RefusedForSharedEnds(name)) {
        return 1;
    }
    const std::wstring logProblem = StartProgramLog(bridge);
    ShownTraffic = &bridge.RelayContext.traffic;
    WindowActions = {nullptr, nullptr, StartTraceTo, StopTraceNow, Tracing, nullptr};
    ShutdownProgram = ShutdownDesk;
    const std::wstring caption = BridgeCaption(name);
    if (!CreateStatusWindow(instance, showCommand, caption.c_str())) {
        return 0;
    }
    if (!logProblem.empty()) {
        AppendLogEntry(logProblem.c_str());
    }
    bridge.RelayContext.store = ProgramStore;

    const HANDLE serial = OpenSerialPort(bridge.RelayContext);
    if (!IsOpenHandle(serial)) {
        AppendLogEntry(L"-- Serial port initialization failed --\r\n");
        return 0;
    }
    SetStatusLine(ProgramStatus, L"Setting up events");
    if (!CreateStartupEvents()) {
        return 0;
    }
    SetStatusLine(ProgramStatus, L"Looking for pipe server");
    const HANDLE pipe = ConnectPipe();
    if (pipe == INVALID_HANDLE_VALUE) {
        ShowErrorBox(
            L"Pipe initialization failed.  Did you create a named pipe in the Hyper-V settings?");
        return 0;
    }

    SetStatusLine(ProgramStatus, L"Setting up serial");
    bridge.RelayContext.pipe.handle.store(pipe, std::memory_order_release);
    bridge.RelayContext.serial.handle.store(serial, std::memory_order_release);
    ShowLineSettings(serial);
    bridge.RelayContext.linkSettings = PortSettings;
    if (!traceFile.empty()) {
        StartTraceTo(traceFile.c_str());
    }
    if (!StartRelayThreads(bridge.RelayContext)) {
        return 0;
    }
    SetStatusLine(ProgramStatus, L"Connected");
    const int exitCode = RunStatusWindow();
    // Every way out the program offers ends the process in ShutdownProgram;
    // this is reached only by a quit message from elsewhere.
    CloseHandle(bridge.RelayContext.serial.handle.load());
    DisconnectNamedPipe(bridge.RelayContext.pipe.handle.load());
    return exitCode;
}
