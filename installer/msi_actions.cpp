// Custom actions of the MSI package (installer/vantrel.wxs), built into
// msi_actions.dll and stored in the package.
//
// Windows Installer starts an executable custom action with neither a
// console nor standard handles, and a deferred one runs in session 0, where
// nobody sees a window. Vantrel.exe --install-service reports on its standard
// output, and falls back to a message box when it has none: run from the
// package directly, that box would stall a silent installation for good.
// RunQuietly gives the command a pipe for its output instead, copies what it
// printed into the installation log and fails the action when the command
// fails.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>

namespace {

std::wstring ActionData(MSIHANDLE install) {
    DWORD size = 0;
    wchar_t none[1] = L"";
    if (MsiGetPropertyW(install, L"CustomActionData", none, &size) != ERROR_MORE_DATA) {
        return {};
    }
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, L"CustomActionData", value.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(size);
    return value;
}

// The text goes in as a field, not as the template, so that brackets in it
// are not taken for properties.
void Log(MSIHANDLE install, const std::wstring& text) {
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, text.c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

// The program writes UTF-8 to a pipe.
std::wstring Widen(const std::string& bytes) {
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                            size);
    }
    return text;
}

void Drain(HANDLE pipe, std::string& output) {
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            return;
        }
        output.append(buffer, got);
    }
}

}  // namespace

// CustomActionData: a whole command line, the program quoted.
extern "C" __declspec(dllexport) UINT __stdcall RunQuietly(MSIHANDLE install) {
    std::wstring command = ActionData(install);
    if (command.empty()) {
        Log(install, L"RunQuietly: no command given");
        return ERROR_INSTALL_FAILURE;
    }
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        Log(install, L"RunQuietly: no pipe for " + command);
        return ERROR_INSTALL_FAILURE;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    const DWORD startError = GetLastError();
    CloseHandle(writeEnd);
    if (input != INVALID_HANDLE_VALUE) {
        CloseHandle(input);
    }
    if (!started) {
        CloseHandle(readEnd);
        Log(install, L"Couldn't run " + command + L" (error " + std::to_wstring(startError) + L")");
        return ERROR_INSTALL_FAILURE;
    }
    // Read while it runs, so that it never blocks on a full pipe, and stop at
    // its end rather than at the pipe's: a process it started may still hold
    // the pipe open.
    std::string output;
    while (WaitForSingleObject(process.hProcess, 100) == WAIT_TIMEOUT) {
        Drain(readEnd, output);
    }
    Drain(readEnd, output);
    CloseHandle(readEnd);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    std::wstring text = Widen(output);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
        text.pop_back();
    }
    Log(install, command + L" (exit code " + std::to_wstring(exitCode) + L"): " + text);
    return exitCode == 0 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// CustomActionData: a service's name. A service that already runs is left
// running; sc.exe would call that a failure.
extern "C" __declspec(dllexport) UINT __stdcall StartNamedService(MSIHANDLE install) {
    const std::wstring name = ActionData(install);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager != nullptr ? OpenServiceW(manager, name.c_str(), SERVICE_START) : nullptr;
    DWORD error = ERROR_SUCCESS;
    if (service == nullptr || !StartServiceW(service, 0, nullptr)) {
        error = GetLastError();
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    if (error == ERROR_SERVICE_ALREADY_RUNNING) {
        error = ERROR_SUCCESS;
    }
    Log(install,
        L"Starting the service " + name +
            (error == ERROR_SUCCESS ? L": started" : L": failed, error " + std::to_wstring(error)));
    return error == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}
