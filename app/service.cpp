// Threads: the service control manager's dispatcher (the main thread), the
// service's own thread (ServiceMain, which keeps the bridges in line with
// their store: it starts, reopens and stops them), the relay threads of
// every bridge, one log writer per bridge, and the threads that answer
// status windows, one for each instance of the service's pipe. Everything a
// bridge needs lives in its Bridge (relay/bridge.h); the service's thread and the
// answering threads change bridges only under answerLock, one at a time, so
// the bridges need no lock of their own.
#include "app/service.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

#include "app/console.h"
#include "app/service_control.h"
#include "app/viewer_protocol.h"
#include "common/handles.h"
#include "common/overlapped.h"
#include "common/secure_files.h"
#include "common/status_client.h"
#include "config/settings_store.h"
#include "config/settings_tables.h"
#include "pipe/pipe_client.h"
#include "relay/bridge.h"
#include "relay/link_recovery.h"
#include "serial/serial_port.h"

namespace {

struct ServiceState {
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{};
    UniqueKernelHandle stop{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::vector<std::unique_ptr<Bridge>> bridges;
    SRWLOCK answerLock = SRWLOCK_INIT;
    StatusClient events;  // the service's own event-log records
    // Why %ProgramData%\Vantrel is not written in; empty while it may be.
    std::wstring folderProblem;
};

ServiceState* service = nullptr;  // the one this process runs, while ServiceMain runs

// The control manager gives up on a service that does not report within the
// hint; start-up and stop take well under a second.
constexpr DWORD kWaitHintMs = 2000;
// A status window has this long from connecting to its request, and again
// from the answer to taking it and going: one that says nothing, or holds
// its instance, is dropped after it.
constexpr DWORD kViewerTimeoutMs = 1000;
// Instances of the service's pipe, made at start and kept to the stop, so
// that its name never lapses and a window that holds one holds up no other.
constexpr DWORD kViewerInstances = 4;
constexpr DWORD kPipeNameRetryMs = 5000;
// How long the store is left after a change before the bridges follow it.
constexpr DWORD kStoreSettleMs = 300;

void Report(DWORD state) {
    service->status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    service->status.dwCurrentState = state;
    service->status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    service->status.dwWin32ExitCode = NO_ERROR;
    service->status.dwWaitHint =
        state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : kWaitHintMs;
    ++service->status.dwCheckPoint;
    SetServiceStatus(service->handle, &service->status);
}

DWORD WINAPI HandleControl(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            SetEvent(service->stop.Get());
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// The running bridges' ends but bridge's own, which it may not share.
std::vector<BridgeEnds> EndsInUse(const Bridge& bridge) {
    std::vector<BridgeEnds> others;
    for (const auto& other : service->bridges) {
        if (other.get() != &bridge && other->RelayContext) {
            others.push_back(
                {other->name, other->PortSettings.serialPort, other->PortSettings.pipeName});
        }
    }
    return others;
}

// A trace of the running bridge, but only into the service's own folder,
// where no user can lay a link: empty, or why not.
std::wstring StartServiceTrace(Bridge& bridge, const std::wstring& trace) {
    std::wstring problem = ServiceTracePathProblem(trace, ServiceDataFolder());
    if (problem.empty()) {
        problem = service->folderProblem;
    }
    if (problem.empty()) {
        problem = PrepareDataFolder(ProgramDataRoot(), trace.substr(0, trace.rfind(L'\\')));
    }
    return problem.empty() ? StartBridgeTrace(bridge, trace).text : problem;
}

// A relay just started traces from the start when the store says so.
void FollowUp(Bridge& bridge, const BridgeOutcome& started) {
    if (!started.Done()) {
        return;
    }
    if (const std::wstring trace = ReadStoredText(bridge.store, kTraceFileValue); !trace.empty()) {
        if (const std::wstring problem = StartServiceTrace(bridge, trace); !problem.empty()) {
            LogSettingsProblem(bridge, L"Not tracing: " + problem);
        }
    }
}

std::unique_ptr<Bridge> NewBridge(const std::wstring& name) {
    auto bridge = std::make_unique<Bridge>(name);
    bridge->status.view = &bridge->view;
    bridge->status.eventName = bridge->eventName.c_str();
    bridge->view.statusLine = L"Waiting for connection...";
    // The log file, unless its folder cannot be trusted: then the Messages
    // say why and the bridge runs without one.
    if (!service->folderProblem.empty()) {
        AppendLogEntry(bridge->status,
                       (L"No log file: " + service->folderProblem + L"\r\n").c_str());
    } else {
        StartBridgeLog(*bridge, ServiceDataFolder() + L"\\" + BridgeLogFileName(name));
    }
    AppendLogEntry(bridge->status, L"Vantrel is starting up as a service\r\n");
    return bridge;
}

void StopBridge(Bridge& bridge, const wchar_t* entry) {
    StopBridgeRelay(bridge);
    AppendLogEntry(bridge.status, entry);
    StopLogFile(bridge.log);
}

Bridge* FindBridge(const std::wstring& name) {
    for (const auto& bridge : service->bridges) {
        if (_wcsicmp(bridge->name.c_str(), name.c_str()) == 0) {
            return bridge.get();
        }
    }
    return nullptr;
}

// The bridges as the store has them now: one added starts, one removed
// stops, one whose store changed (when changed) reopens, and one that does
// not run, or whose store could not be read last time, is tried again. The
// others, and their counters, are not touched.
void SyncBridges(bool changed) {
    const std::vector<std::wstring> names = BridgeNames();
    auto& bridges = service->bridges;
    const auto listed = [&names](const Bridge& bridge) {
        return std::any_of(names.begin(), names.end(), [&bridge](const std::wstring& name) {
            return _wcsicmp(name.c_str(), bridge.name.c_str()) == 0;
        });
    };
    for (auto it = bridges.begin(); it != bridges.end();) {
        if (listed(**it)) {
            ++it;
            continue;
        }
        StopBridge(**it, L"The bridge was removed; it stopped\r\n");
        it = bridges.erase(it);
    }
    for (const std::wstring& name : names) {
        if (FindBridge(name) == nullptr) {
            bridges.push_back(NewBridge(name));
        }
    }
    for (const auto& bridge : bridges) {
        if (!bridge->RelayContext) {
            FollowUp(*bridge, StartBridge(*bridge, EndsInUse(*bridge)));
        } else if (changed || !bridge->unconfirmed.empty()) {
            FollowUp(*bridge, ReloadBridge(*bridge, EndsInUse(*bridge), false));
        }
    }
}

// What a status window asked, answered: the reply record and its Messages.
std::vector<unsigned char> Answer(const ViewerRequest& request, bool administrator) {
    ViewerReply reply{};
    reply.magic = kViewerMagic;
    reply.version = kViewerVersion;
    Bridge* bridge = FindBridge(FromWire(request.bridge, kBridgeNameMaxLength + 1));
    const auto command = static_cast<ViewerCommand>(request.command);
    if (bridge == nullptr) {
        reply.status = static_cast<std::uint16_t>(ViewerStatus::UnknownBridge);
        return {reinterpret_cast<const unsigned char*>(&reply),
                reinterpret_cast<const unsigned char*>(&reply + 1)};
    }
    if (command >= ViewerCommand::Reload && !administrator) {
        reply.status = static_cast<std::uint16_t>(ViewerStatus::Refused);
        return {reinterpret_cast<const unsigned char*>(&reply),
                reinterpret_cast<const unsigned char*>(&reply + 1)};
    }
    std::wstring notTraced;
    if (command == ViewerCommand::Reset && TakeResetAt(bridge->resetRate, GetTickCount64())) {
        ResetBridgeCounters(*bridge);
    } else if (command == ViewerCommand::Reload) {
        FollowUp(*bridge, ReloadBridge(*bridge, EndsInUse(*bridge), true));
    } else if (command == ViewerCommand::StartTrace) {
        notTraced = StartServiceTrace(*bridge, FromWire(request.traceFile, kViewerTextCapacity));
    } else if (command == ViewerCommand::StopTrace) {
        StopBridgeTrace(*bridge);
    }
    const BridgeSnapshot shot = TakeSnapshot(*bridge, request.messagesFrom, kViewerMessagesMax);
    std::copy(std::begin(shot.counters), std::end(shot.counters), reply.counters);
    for (int i = 0; i < 2; ++i) {
        reply.chunks[i] = shot.chunks[i];
        reply.latestChunk[i] = shot.latestChunk[i];
        reply.endState[i] = static_cast<std::uint8_t>(!shot.running  ? EndState::Stopped
                                                      : shot.away[i] ? EndState::Away
                                                                     : EndState::Connected);
        reply.reconnects[i] = shot.reconnects[i];
        std::copy(std::begin(shot.discarded[i]), std::end(shot.discarded[i]), reply.discarded[i]);
    }
    std::copy(std::begin(shot.lineErrors), std::end(shot.lineErrors), reply.lineErrors);
    ToWire(shot.pipeDiagnosis, reply.pipeDiagnosis, kViewerTextCapacity);
    reply.connectedSince = shot.connectedSince;
    reply.tracing = shot.tracing ? 1 : 0;
    reply.baudRate = shot.settings.baudRate;
    reply.parity = shot.settings.parity;
    reply.dataBits = shot.settings.dataBits;
    reply.stopBits = shot.settings.stopBits;
    reply.flowControl = shot.settings.flowControl;
    ToWire(shot.settings.pipeName, reply.pipeName, kViewerTextCapacity);
    ToWire(shot.serialPort, reply.serialPort, kViewerTextCapacity);
    ToWire(notTraced.empty() ? shot.statusLine : notTraced, reply.statusLine, kViewerTextCapacity);
    if (!notTraced.empty()) {
        reply.status = static_cast<std::uint16_t>(ViewerStatus::NotTraced);
    }
    reply.carrier = shot.carrier ? 1 : 0;
    reply.dataSet = shot.dataSet ? 1 : 0;
    reply.messagesEnd = shot.messagesEnd;
    reply.messagesLength = static_cast<std::uint32_t>(shot.messages.size());
    std::vector<unsigned char> bytes(sizeof reply + shot.messages.size() * sizeof(char16_t));
    std::memcpy(bytes.data(), &reply, sizeof reply);
    for (std::size_t i = 0; i < shot.messages.size(); ++i) {
        const auto c = static_cast<char16_t>(shot.messages[i]);
        std::memcpy(bytes.data() + sizeof reply + i * sizeof c, &c, sizeof c);
    }
    return bytes;
}

constexpr ULONGLONG kNoDeadline = ~0ULL;

DWORD Left(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

// An operation on the viewer pipe, waited for with the stop and a deadline.
bool Await(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, ULONGLONG deadline,
           DWORD* count = nullptr) {
    const Transfer done = AwaitTransfer(pipe, overlapped, started, service->stop.Get(),
                                        deadline == kNoDeadline ? INFINITE : Left(deadline));
    if (count != nullptr) {
        *count = done.count;
    }
    return done.ok;
}

// One status window on one instance: it connects, asks once, reads the reply
// and goes. Anything malformed, oversized or slow is dropped unanswered.
void ServeOne(HANDLE pipe, HANDLE event) {
    OVERLAPPED overlapped = OverlappedWith(event);
    if (!Await(pipe, overlapped, ConnectNamedPipe(pipe, &overlapped), kNoDeadline)) {
        const DWORD error = GetLastError();
        if (error != ERROR_PIPE_CONNECTED) {
            // A window gone before it was met is normal; anything else is not
            // tried again at once.
            if (error != ERROR_NO_DATA) {
                WaitForSingleObject(service->stop.Get(), kViewerTimeoutMs);
            }
            return;
        }
    }
    unsigned char request[sizeof(ViewerRequest) + 1];
    DWORD size = 0;
    ULONGLONG deadline = GetTickCount64() + kViewerTimeoutMs;
    overlapped = OverlappedWith(event);
    ViewerRequest parsed{};
    if (!Await(pipe, overlapped, ReadFile(pipe, request, sizeof request, nullptr, &overlapped),
               deadline, &size) ||
        !ParseViewerRequest(request, size, parsed)) {
        return;
    }
    // Only an administrator may have the settings taken up or a trace
    // written; anyone allowed on the pipe may look and reset the counters.
    bool administrator = false;
    if (ImpersonateNamedPipeClient(pipe)) {
        administrator = IsUserAdministrator();
        RevertToSelf();
    }
    AcquireSRWLockExclusive(&service->answerLock);
    const std::vector<unsigned char> reply = Answer(parsed, administrator);
    ReleaseSRWLockExclusive(&service->answerLock);
    deadline = GetTickCount64() + kViewerTimeoutMs;
    overlapped = OverlappedWith(event);
    if (!Await(
            pipe, overlapped,
            WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), nullptr, &overlapped),
            deadline)) {
        return;
    }
    // The reply stays readable until the window has gone: disconnecting
    // first would throw it away.
    overlapped = OverlappedWith(event);
    Await(pipe, overlapped, ReadFile(pipe, request, sizeof request, nullptr, &overlapped),
          deadline);
}

DWORD WINAPI ServeInstance(LPVOID instance) {
    const HANDLE pipe = static_cast<HANDLE>(instance);
    const UniqueKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    while (event.IsOpen() && WaitForSingleObject(service->stop.Get(), 0) != WAIT_OBJECT_0) {
        ServeOne(pipe, event.Get());
        DisconnectNamedPipe(pipe);
    }
    return 0;
}

HANDLE CreateViewerInstance(SECURITY_ATTRIBUTES& attributes, DWORD firstFlag) {
    // As many instances as the service makes and no more: nobody can add one.
    return CreateNamedPipeW(
        kViewerPipePath, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | firstFlag,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        kViewerInstances, static_cast<DWORD>(kViewerReplyMax), sizeof(ViewerRequest), 0,
        &attributes);
}

using UniqueLocalMemory = UniqueResource<HLOCAL, NullValue<HLOCAL>, LocalFree>;

DWORD WINAPI ServeViewers(LPVOID) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            ViewerPipeSddl().c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        ReportBridgeEvent(service->events, BridgeEvent::ViewerPipeProblem,
                          L"the security of the service's pipe could not be set up");
        return 0;
    }
    const UniqueLocalMemory descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    // The service's first instance must be the pipe's first: one that someone
    // else made first would let them answer status windows (or take an
    // administrator's Reload).
    std::vector<UniqueFile> instances;
    for (bool reported = false;;) {
        UniqueFile first(CreateViewerInstance(attributes, FILE_FLAG_FIRST_PIPE_INSTANCE));
        if (first.IsOpen()) {
            instances.push_back(std::move(first));
            break;
        }
        // Windows refuses a first instance of a name that exists; Wine, which
        // does not enforce FILE_FLAG_FIRST_PIPE_INSTANCE, a name whose
        // instances are all made.
        const DWORD error = GetLastError();
        if (!reported && (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY)) {
            ReportBridgeEvent(service->events, BridgeEvent::ViewerPipeProblem,
                              L"another program holds the name of the service's pipe");
            reported = true;
        }
        if (WaitForSingleObject(service->stop.Get(), kPipeNameRetryMs) == WAIT_OBJECT_0) {
            return 0;
        }
    }
    while (instances.size() < kViewerInstances) {
        UniqueFile more(CreateViewerInstance(attributes, 0));
        if (!more.IsOpen()) {
            break;
        }
        instances.push_back(std::move(more));
    }
    std::vector<UniqueKernelHandle> servers;
    for (std::size_t i = 1; i < instances.size(); ++i) {
        servers.emplace_back(
            CreateThread(nullptr, 0, ServeInstance, instances[i].Get(), 0, nullptr));
    }
    ServeInstance(instances[0].Get());
    for (const UniqueKernelHandle& server : servers) {
        if (server.IsOpen()) {
            WaitForSingleObject(server.Get(), INFINITE);
        }
    }
    return 0;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    ServiceState state;
    service = &state;
    state.handle = RegisterServiceCtrlHandlerExW(kServiceName, HandleControl, nullptr);
    if (state.handle == nullptr) {
        return;
    }
    Report(SERVICE_START_PENDING);

    state.events.eventName = L"Vantrel";
    // Checked once, before any bridge writes there; one entry says why not.
    state.folderProblem = PrepareDataFolder(ProgramDataRoot(), ServiceDataFolder());
    if (!state.folderProblem.empty()) {
        ReportBridgeEvent(state.events, BridgeEvent::SettingsError,
                          (state.folderProblem + L" The bridges run without log files.").c_str());
    }
    // Armed before the store is first read, so that no change after a
    // reading goes unseen.
    const UniqueKernelHandle changed(NewEvent(false));
    UniqueRegistryKey watched;
    WatchBridgeStores(watched, changed.Get());
    SyncBridges(false);
    std::wstring started;
    for (const auto& bridge : state.bridges) {
        if (bridge->RelayContext) {
            started += (started.empty() ? L"Bridges: " : L", ") + bridge->eventName;
        }
    }
    ReportBridgeEvent(state.events, BridgeEvent::ServiceStarted,
                      (started.empty() ? L"No bridge runs." : started + L".").c_str());
    UniqueKernelHandle viewers(CreateThread(nullptr, 0, ServeViewers, nullptr, 0, nullptr));
    Report(SERVICE_RUNNING);

    // This thread keeps the bridges in line with the store until the stop.
    const HANDLE events[] = {state.stop.Get(), changed.Get()};
    for (;;) {
        const DWORD woken = WaitForMultipleObjects(2, events, FALSE, kLinkRetryMs);
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) {
            break;
        }
        const bool change = woken == WAIT_OBJECT_0 + 1;
        // A store is written value by value: the bridge reopens once, when
        // the writing has paused.
        if (change && WaitForSingleObject(state.stop.Get(), kStoreSettleMs) == WAIT_OBJECT_0) {
            break;
        }
        watched.Reset();
        WatchBridgeStores(watched, changed.Get());
        AcquireSRWLockExclusive(&state.answerLock);
        SyncBridges(change);
        ReleaseSRWLockExclusive(&state.answerLock);
    }
    Report(SERVICE_STOP_PENDING);
    if (viewers.IsOpen()) {
        WaitForSingleObject(viewers.Get(), INFINITE);
    }
    for (const auto& bridge : state.bridges) {
        StopBridge(*bridge, L"The Vantrel service stopped\r\n");
    }
    ReportBridgeEvent(state.events, BridgeEvent::ServiceStopped, L"");
    Report(SERVICE_STOPPED);
    service = nullptr;
}

}  // namespace

int RunService() {
    const SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), ServiceMain},
                                          {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table)) {
        return 0;
    }
    TellUser(
        L"--service is for the service control manager: install the service with "
        L"--install-service and start it with \"sc start Vantrel\".",
        true);
    return 1;
}

std::wstring ViewerPipeSddl() {
    // Deny before allow, for the ACEs are taken in order: nobody from another
    // computer; SYSTEM and administrators in full; interactive users may read
    // and write data (to look and reset) but not create an instance.
    wchar_t text[100];
    std::swprintf(text, 100, L"D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x%lx;;;IU)",
                  static_cast<unsigned long>(kInteractiveViewerAccess));
    return text;
}

std::vector<std::wstring> BridgeNames() {
    std::vector<std::wstring> names = ListBridges();
    // The default bridge's key is also the named ones' parent: without a
    // pipe of its own beside them it is no bridge.
    if (StoreExists(BridgeStore(L"")) &&
        (names.empty() || !ReadStoredText(BridgeStore(L""), kNameSettings[1].valueName).empty())) {
        names.insert(names.begin(), L"");
    }
    return names;
}

std::vector<BridgeEnds> ConfiguredBridges() {
    std::vector<BridgeEnds> bridges;
    for (const std::wstring& name : BridgeNames()) {
        PortSettingsRecord settings{};
        if (ReadSettingsStore(settings, BridgeStore(name)).read) {
            bridges.push_back({name, settings.serialPort, settings.pipeName});
        }
    }
    return bridges;
}
