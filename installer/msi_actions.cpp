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
//
// SecureFolders gives the program's folder and its data folder the access
// list the service needs, RemoveNamedService removes the service without the
// program (which may be gone already), and PurgeData removes the settings,
// logs and traces when PURGE=1 is given to the uninstallation.
#include <windows.h>

#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

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

std::vector<std::wstring> Split(const std::wstring& list) {
    std::vector<std::wstring> items;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(L';', start), list.size());
        if (end > start) {
            items.push_back(list.substr(start, end - start));
        }
        start = end + 1;
    }
    return items;
}

std::wstring WithoutSlash(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) {
        path.pop_back();
    }
    return path;
}

// The program's kDataFolderSddl (common/secure_files.h): SYSTEM and
// Administrators in full, Users to read and go through, owned by
// Administrators, nothing inherited.
constexpr wchar_t kProtectedSddl[] =
    L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// Makes folder when missing (a link in its place goes first, not what it
// points to) and gives it and what it holds the protected access list.
DWORD SecureFolder(const std::wstring& folder) {
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        RemoveDirectoryW(folder.c_str());
    }
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return GetLastError();
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedSddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return GetLastError();
    }
    PSID owner = nullptr;
    PACL list = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    DWORD error = ERROR_INVALID_SECURITY_DESCR;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) &&
        GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted)) {
        error = SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                          PROTECTED_DACL_SECURITY_INFORMATION,
                                      owner, nullptr, list, nullptr);
    }
    LocalFree(descriptor);
    return error;
}

void DeleteMatching(const std::wstring& folder, const wchar_t* pattern) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((folder + L"\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

}  // namespace

// CustomActionData: folders, separated by ';'. A drive's root is refused:
// the program needs a folder of its own.
extern "C" __declspec(dllexport) UINT __stdcall SecureFolders(MSIHANDLE install) {
    for (const std::wstring& item : Split(ActionData(install))) {
        const std::wstring folder = WithoutSlash(item);
        if (folder.size() <= 3) {
            Log(install, L"Vantrel needs a folder of its own, not " + folder);
            return ERROR_INSTALL_FAILURE;
        }
        const DWORD error = SecureFolder(folder);
        Log(install, L"Protecting " + folder +
                         (error == ERROR_SUCCESS ? L": done"
                                                 : L": failed, error " + std::to_wstring(error)));
        if (error != ERROR_SUCCESS) {
            return ERROR_INSTALL_FAILURE;
        }
    }
    return ERROR_SUCCESS;
}

// CustomActionData: a service's name. Stopped before (StopServices); one
// that is not there is no failure.
extern "C" __declspec(dllexport) UINT __stdcall RemoveNamedService(MSIHANDLE install) {
    const std::wstring name = ActionData(install);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, name.c_str(), DELETE) : nullptr;
    DWORD error = ERROR_SUCCESS;
    if (service == nullptr || !DeleteService(service)) {
        error = GetLastError();
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    if (error == ERROR_SERVICE_DOES_NOT_EXIST || error == ERROR_SERVICE_MARKED_FOR_DELETE) {
        error = ERROR_SUCCESS;
    }
    Log(install,
        L"Removing the service " + name +
            (error == ERROR_SUCCESS ? L": done" : L": failed, error " + std::to_wstring(error)));
    return error == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// CustomActionData: the data folder. The settings store, the logs (NAME.log,
// NAME.log.N) and the traces (trace-....txt and their older copies); files
// of any other name stay, and so does the folder that holds them.
extern "C" __declspec(dllexport) UINT __stdcall PurgeData(MSIHANDLE install) {
    const std::wstring folder = WithoutSlash(ActionData(install));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Orbenwick\\Vantrel");
    // The vendor's key may hold other Orbenwick programs' settings.
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Orbenwick", KEY_WOW64_64KEY, 0);
    if (folder.size() > 3) {
        for (const wchar_t* pattern : {L"*.log", L"*.log.*", L"trace-*.txt", L"trace-*.txt.*"}) {
            DeleteMatching(folder, pattern);
        }
        RemoveDirectoryW(folder.c_str());
    }
    Log(install, L"Removed the settings, logs and traces of Vantrel");
    return ERROR_SUCCESS;
}

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
