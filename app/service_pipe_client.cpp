#include "app/service_pipe_client.h"

#include "app/service_control.h"
#include "common/handles.h"
#include "common/overlapped.h"

namespace {

std::uint32_t QueryServiceProcessId() {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.IsOpen()) {
        return 0;
    }
    const UniqueServiceHandle service(
        OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    if (!service.IsOpen() ||
        !QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &size)) {
        return 0;
    }
    return status.dwProcessId;
}

DWORD Remaining(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

// Open for overlapped I/O, so that no call on it waits past the deadline.
UniqueFile OpenServicePipe(ULONGLONG deadline) {
    for (;;) {
        // Identification only: the service may learn who asks, to allow
        // Reload to administrators only, but cannot act as them.
        UniqueFile pipe(CreateFileW(
            kViewerPipePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (pipe.IsOpen() || GetLastError() != ERROR_PIPE_BUSY) {
            return pipe;
        }
        // WaitNamedPipeW takes 0 for "the pipe's default time-out": never passed.
        const DWORD left = Remaining(deadline);
        if (left == 0 || !WaitNamedPipeW(kViewerPipePath, left)) {
            return pipe;
        }
    }
}

}  // namespace

std::uint32_t (*ServiceProcessId)() = QueryServiceProcessId;

bool IsServedByTheService(HANDLE pipe) {
    ULONG server = 0;
    return GetNamedPipeServerProcessId(pipe, &server) &&
           IsServiceProcess(server, ServiceProcessId());
}

ServiceAnswer AskTheService(const ViewerRequest& request, std::vector<unsigned char>& reply) {
    const ULONGLONG deadline = GetTickCount64() + kServiceAnswerDeadlineMs;
    const UniqueFile pipe = OpenServicePipe(deadline);
    if (!pipe.IsOpen()) {
        return ServiceAnswer::Silent;
    }
    if (!IsServedByTheService(pipe.Get())) {
        return ServiceAnswer::Posing;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    const UniqueKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event.IsOpen() || !SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr)) {
        return ServiceAnswer::Silent;
    }
    OVERLAPPED overlapped = OverlappedWith(event.Get());
    if (!AwaitTransfer(pipe.Get(), overlapped,
                       WriteFile(pipe.Get(), &request, sizeof request, nullptr, &overlapped),
                       nullptr, Remaining(deadline))
             .ok) {
        return ServiceAnswer::Silent;
    }
    reply.resize(kViewerReplyMax);
    overlapped = OverlappedWith(event.Get());
    const Transfer read = AwaitTransfer(
        pipe.Get(), overlapped,
        ReadFile(pipe.Get(), reply.data(), static_cast<DWORD>(reply.size()), nullptr, &overlapped),
        nullptr, Remaining(deadline));
    reply.resize(read.ok ? read.count : 0);
    return read.ok ? ServiceAnswer::Answered : ServiceAnswer::Silent;
}

ServiceAnswer AskTheService(const ViewerRequest& request, ViewerReply& reply,
                            std::wstring& messages) {
    std::vector<unsigned char> bytes;
    const ServiceAnswer answer = AskTheService(request, bytes);
    if (answer == ServiceAnswer::Answered &&
        !ParseViewerReply(bytes.data(), bytes.size(), reply, messages)) {
        return ServiceAnswer::Silent;
    }
    return answer;
}
