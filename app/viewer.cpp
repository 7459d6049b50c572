// Threads: the user-interface thread runs the status window as ever; one
// asker thread asks the service for a snapshot several times a second while
// bytes flow (about once a second when nothing moves) and hands what changed
// to the window through the status client's window messages.
#include "app/viewer.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "app/service_pipe_client.h"
#include "app/viewer_protocol.h"
#include "common/app_messages.h"
#include "common/handles.h"
#include "common/process_state.h"
#include "common/secure_files.h"
#include "common/status_client.h"
#include "config/settings_store.h"
#include "relay/bridge.h"
#include "ui/message_box.h"
#include "ui/status_window.h"

namespace {

constexpr DWORD kBusyPollMs = 200;
constexpr DWORD kQuietPollMs = 1000;

struct Viewer {
    explicit Viewer(const std::wstring& name) : bridge(name) {}
    // The bridge as the window has it: its name, its store and the settings
    // the settings dialog edits there; it relays in the service.
    Bridge bridge;
    std::atomic<ViewerCommand> pending{ViewerCommand::Snapshot};
    std::uint64_t messagesEnd = 0;
    ViewerReply last{};
    bool answered = false;
    std::atomic<bool> tracing{false};  // as the service last told it
};

Viewer* viewer = nullptr;  // the process's one, for the window's actions

// One request and its reply, parsed; a malformed reply is no answer.
ServiceAnswer Ask(ViewerCommand command, std::uint64_t messagesEnd, const wchar_t* path,
                  ViewerReply& reply, std::wstring& messages) {
    return AskTheService(MakeViewerRequest(command, viewer->bridge.name, messagesEnd, path), reply,
                         messages);
}

// Hands the reply to the window as it is; true when bytes moved since the last.
bool Show(const ViewerReply& reply, const std::wstring& messages) {
    const ViewerReply& last = viewer->last;
    StatusClient& status = viewer->bridge.status;
    const bool first = !viewer->answered;
    if (!messages.empty()) {
        AppendLog(status, messages.c_str());
    }
    if (first || std::u16string(reply.statusLine) != std::u16string(last.statusLine)) {
        SetStatusLine(status, FromWire(reply.statusLine, kViewerTextCapacity).c_str());
    }
    if (first || reply.carrier != last.carrier) {
        ShowModemLamp(status, true, reply.carrier != 0);
    }
    if (first || reply.dataSet != last.dataSet) {
        ShowModemLamp(status, false, reply.dataSet != 0);
    }
    const std::wstring port = FromWire(reply.serialPort, kViewerTextCapacity);
    const std::wstring pipe = FromWire(reply.pipeName, kViewerTextCapacity);
    const LineFields fields = {port.c_str(),   pipe.c_str(),   reply.baudRate,   reply.parity,
                               reply.dataBits, reply.stopBits, reply.flowControl};
    // A lamp lights for chunks since the last reply (which moved the counters).
    const auto lampChunk = [&](int i) {
        return first || reply.chunks[i] == last.chunks[i] ? 0u : reply.latestChunk[i];
    };
    const std::uint32_t chunks[] = {lampChunk(0), lampChunk(1)};
    const bool moved = std::memcmp(reply.counters, last.counters, sizeof reply.counters) != 0;
    if (StatusSink* sink = status.window.load()) {
        sink->Deliver(kLineFieldsMessage, 0, reinterpret_cast<LPARAM>(&fields));
        sink->Deliver(kTrafficMessage, reinterpret_cast<WPARAM>(reply.counters),
                      reinterpret_cast<LPARAM>(chunks));
    }
    viewer->answered = true;
    viewer->messagesEnd = reply.messagesEnd;
    viewer->tracing.store(reply.tracing != 0);
    viewer->last = reply;
    return moved;
}

DWORD WINAPI AskService(LPVOID) {
    const wchar_t* shownProblem = nullptr;  // what the status line says instead of an answer
    for (;;) {
        const ViewerCommand command = viewer->pending.exchange(ViewerCommand::Snapshot);
        ViewerReply reply{};
        std::wstring messages;
        bool moved = false;
        const ServiceAnswer answer = Ask(command, viewer->messagesEnd, L"", reply, messages);
        const wchar_t* problem = nullptr;
        if (answer != ServiceAnswer::Answered) {
            problem = answer == ServiceAnswer::Posing ? kPosingText : kSilentText;
            viewer->answered = false;
        } else if (reply.status == static_cast<std::uint16_t>(ViewerStatus::UnknownBridge)) {
            problem = L"The Vantrel service runs no such bridge";
        } else {
            moved = Show(reply, messages);
        }
        // Once for each change; a poser is named in a box as well.
        if (problem != nullptr && problem != shownProblem) {
            SetStatusLine(viewer->bridge.status, problem);
            if (StatusSink* sink = viewer->bridge.status.window.load();
                sink && problem == kPosingText) {
                sink->Deliver(kNoticeBoxMessage, 0, reinterpret_cast<LPARAM>(kPosingText));
            }
        }
        shownProblem = problem;
        // Asked again at once when there is more to show or a command waits.
        if (reply.messagesLength < kViewerMessagesMax &&
            viewer->pending.load() == ViewerCommand::Snapshot) {
            Sleep(moved ? kBusyPollMs : kQuietPollMs);
        }
    }
}

void RequestReset() {
    viewer->pending.store(ViewerCommand::Reset);
}

void RequestReload() {
    viewer->pending.store(ViewerCommand::Reload);
}

// The system menu's trace (administrators): the service writes it, so it is
// asked at once, from the window's thread, and a refusal is shown.
ViewerStatus AskTrace(ViewerCommand command, const wchar_t* path, std::wstring& why) {
    ViewerReply reply{};
    std::wstring messages;
    if (Ask(command, 0, path, reply, messages) != ServiceAnswer::Answered) {
        why = kSilentText;
        return ViewerStatus::Refused;
    }
    why = FromWire(reply.statusLine, kViewerTextCapacity);
    return static_cast<ViewerStatus>(reply.status);
}

bool StartServiceTrace(Bridge&, const wchar_t* path) {
    std::wstring why;
    if (AskTrace(ViewerCommand::StartTrace, path, why) != ViewerStatus::Ok) {
        ShowErrorBox((L"The Vantrel service does not trace this bridge: " + why).c_str());
        return false;
    }
    viewer->tracing.store(true);
    return true;
}

void StopServiceTrace(Bridge&) {
    std::wstring why;
    AskTrace(ViewerCommand::StopTrace, L"", why);
    viewer->tracing.store(false);
}

bool ServiceTracing(Bridge&) {
    return viewer->tracing.load();
}

}  // namespace

int RunViewer(HINSTANCE instance, int showCommand, const std::wstring& bridge) {
    static Viewer state(bridge);
    viewer = &state;
    ModuleInstance = instance;
    LoadIndicatorIcons(instance);
    ReadSettingsStore(state.bridge.PortSettings, state.bridge.store);
    if (IsUserAdministrator()) {
        WindowActions = {RequestReset,     RequestReload,  StartServiceTrace,
                         StopServiceTrace, ServiceTracing, ServiceDataFolder};
    } else {
        WindowActions = {RequestReset, RequestReload, nullptr, nullptr, nullptr, nullptr};
    }
    const std::wstring caption = BridgeCaption(bridge) + L" (service)";
    if (!CreateStatusWindow(instance, showCommand, state.bridge, caption.c_str(), false)) {
        return 1;
    }
    SetStatusLine(state.bridge.status, L"Asking the Vantrel service");
    const UniqueKernelHandle asker(CreateThread(nullptr, 0, AskService, nullptr, 0, nullptr));
    return RunStatusWindow();
}
