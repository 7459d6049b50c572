#include "common/child_process.h"

#include <cwchar>
#include <cwctype>

#include "common/handles.h"

namespace {

struct Drain {
    HANDLE from;
    std::string* into;
};

// Reads a pipe to its end. Both of the child's outputs are read at once, so
// that neither fills up and holds the child.
DWORD WINAPI DrainPipe(LPVOID argument) {
    const Drain& drain = *static_cast<Drain*>(argument);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(drain.from, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        drain.into->append(buffer, got);
    }
    return 0;
}

std::wstring NameOf(const std::wstring& variable) {
    std::wstring name = variable.substr(0, variable.find(L'=', 1));
    for (wchar_t& c : name) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return name;
}

// This process's environment without the variables given, then those.
std::wstring EnvironmentWith(const std::vector<std::wstring>& variables) {
    std::vector<std::wstring> replaced;
    for (const std::wstring& variable : variables) {
        replaced.push_back(NameOf(variable));
    }
    std::wstring block;
    if (wchar_t* inherited = GetEnvironmentStringsW(); inherited != nullptr) {
        for (const wchar_t* entry = inherited; *entry != L'\0'; entry += wcslen(entry) + 1) {
            bool keep = true;
            for (const std::wstring& name : replaced) {
                keep = keep && NameOf(entry) != name;
            }
            if (keep) {
                block.append(entry).push_back(L'\0');
            }
        }
        FreeEnvironmentStringsW(inherited);
    }
    for (const std::wstring& variable : variables) {
        block.append(variable).push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

bool InheritablePipe(UniqueKernelHandle& read, UniqueKernelHandle& write) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        return false;
    }
    read = UniqueKernelHandle(readEnd);
    write = UniqueKernelHandle(writeEnd);
    return SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0) != FALSE;
}

// A job that ends what it holds when its last handle closes.
UniqueKernelHandle NewKillingJob() {
    UniqueKernelHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job.IsOpen() && !SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation,
                                                 &limits, sizeof limits)) {
        job.Reset();
    }
    return job;
}

ChildOutcome NotStarted(DWORD error) {
    ChildOutcome outcome;
    outcome.error = error;
    return outcome;
}

}  // namespace

ChildOutcome RunChild(const std::wstring& program, std::wstring commandLine,
                      const std::vector<std::wstring>& variables, DWORD timeLimitMs,
                      HANDLE cancel) {
    UniqueKernelHandle outRead, outWrite, errRead, errWrite;
    if (!InheritablePipe(outRead, outWrite) || !InheritablePipe(errRead, errWrite)) {
        return NotStarted(GetLastError());
    }
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    UniqueFile input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr));
    UniqueKernelHandle job = NewKillingJob();
    if (!input.IsOpen() || !job.IsOpen()) {
        return NotStarted(GetLastError());
    }

    // Only these three handles reach the child: another child started at
    // the same moment (a second bridge's) must not hold this one's pipes open.
    HANDLE inherited[] = {input.Get(), outWrite.Get(), errWrite.Get()};
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<unsigned char> listBytes(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &listSize)) {
        return NotStarted(GetLastError());
    }
    const bool listed = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                  inherited, sizeof inherited, nullptr, nullptr);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.Get();
    startup.StartupInfo.hStdOutput = outWrite.Get();
    startup.StartupInfo.hStdError = errWrite.Get();
    startup.lpAttributeList = listed ? list : nullptr;

    std::wstring environment = EnvironmentWith(variables);
    wchar_t systemFolder[MAX_PATH];
    const UINT folderLength = GetSystemDirectoryW(systemFolder, MAX_PATH);
    PROCESS_INFORMATION started = {};
    const BOOL created = CreateProcessW(
        program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
        CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
            (listed ? EXTENDED_STARTUPINFO_PRESENT : 0),
        environment.data(), folderLength > 0 && folderLength < MAX_PATH ? systemFolder : nullptr,
        &startup.StartupInfo, &started);
    const DWORD createError = GetLastError();
    DeleteProcThreadAttributeList(list);
    if (!created) {
        return NotStarted(createError);
    }
    UniqueKernelHandle process(started.hProcess);
    UniqueKernelHandle thread(started.hThread);
    if (!AssignProcessToJobObject(job.Get(), process.Get())) {
        const DWORD error = GetLastError();
        TerminateProcess(process.Get(), 1);
        return NotStarted(error);
    }
    ResumeThread(thread.Get());
    // The child holds the write ends now; the pipes end when it does.
    outWrite.Reset();
    errWrite.Reset();
    input.Reset();

    ChildOutcome outcome;
    Drain drains[] = {{outRead.Get(), &outcome.output}, {errRead.Get(), &outcome.errors}};
    UniqueKernelHandle drainers[2];
    for (int i = 0; i < 2; ++i) {
        drainers[i] =
            UniqueKernelHandle(CreateThread(nullptr, 0, DrainPipe, &drains[i], 0, nullptr));
    }
    const HANDLE ends[] = {process.Get(), cancel};
    const DWORD waited =
        WaitForMultipleObjects(cancel != nullptr ? 2 : 1, ends, FALSE, timeLimitMs);
    outcome.end = waited == WAIT_OBJECT_0       ? ChildEnd::Exited
                  : waited == WAIT_OBJECT_0 + 1 ? ChildEnd::Cancelled
                                                : ChildEnd::TimedOut;
    if (outcome.end != ChildEnd::Exited) {
        TerminateJobObject(job.Get(), 1);
    }
    WaitForSingleObject(process.Get(), INFINITE);
    GetExitCodeProcess(process.Get(), &outcome.exitCode);
    for (UniqueKernelHandle& drainer : drainers) {
        if (drainer.IsOpen()) {
            WaitForSingleObject(drainer.Get(), INFINITE);
        }
    }
    return outcome;
}
