// hyperv_standin: stands in for Windows PowerShell with Hyper-V's module in
// the test prefix. The harness puts it where Vantrel's reader looks
// (%SystemRoot%\System32\WindowsPowerShell\v1.0\powershell.exe). It runs no
// script: it records what it was asked and answers as the reader's script
// would, from files in C:\hyperv-standin that the test writes:
//
//   vms.json        the answer to a list request: the script's JSON, shaped
//                   from Microsoft's documentation of Get-VM (Name, Id,
//                   State, Generation), Get-VMComPort (Name "COM 1", Path)
//                   and ConvertTo-Json (Windows PowerShell 5.1); "[]" when
//                   the file is missing
//   behaviour.txt   "hang" never answers; "absent" fails as Import-Module
//                   does without the Hyper-V module (exit 3); "denied" as
//                   Get-VM does for a user Hyper-V does not answer (exit 4)
//   requests.txt    appended: each argument as "arg=...", the request's
//                   variables as "env:NAME=...", then "--", in UTF-8
#include <windows.h>

#include <string>

namespace {

const wchar_t kFolder[] = L"C:\\hyperv-standin\\";
const wchar_t* const kVariables[] = {L"VANTREL_REQUEST", L"VANTREL_VM_ID", L"VANTREL_COM",
                                     L"VANTREL_PIPE_PATH"};

std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
    return bytes;
}

std::string ReadAll(const wchar_t* name) {
    std::string bytes;
    const HANDLE file = CreateFileW((std::wstring(kFolder) + name).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return bytes;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    CloseHandle(file);
    return bytes;
}

void Write(DWORD which, const std::string& bytes) {
    DWORD done = 0;
    WriteFile(GetStdHandle(which), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
}

std::wstring Variable(const wchar_t* name) {
    wchar_t value[4096];
    const DWORD length = GetEnvironmentVariableW(name, value, 4096);
    return length > 0 && length < 4096 ? std::wstring(value, length) : L"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring record;
    for (int i = 1; i < argc; ++i) {
        record += L"arg=" + std::wstring(argv[i]) + L"\n";
    }
    for (const wchar_t* name : kVariables) {
        record += L"env:" + std::wstring(name) + L"=" + Variable(name) + L"\n";
    }
    const HANDLE log =
        CreateFileW((std::wstring(kFolder) + L"requests.txt").c_str(), FILE_APPEND_DATA,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    const std::string bytes = Utf8(record + L"--\n");
    DWORD done = 0;
    WriteFile(log, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    CloseHandle(log);

    const std::string behaviour = ReadAll(L"behaviour.txt");
    if (behaviour.rfind("hang", 0) == 0) {
        Sleep(INFINITE);
    }
    if (behaviour.rfind("absent", 0) == 0) {
        Write(STD_ERROR_HANDLE,
              "\"The specified module 'Hyper-V' was not loaded because no valid module file was "
              "found in any module directory.\"");
        return 3;
    }
    if (behaviour.rfind("denied", 0) == 0) {
        Write(STD_ERROR_HANDLE,
              "\"You do not have the required permission to complete this task. Contact the "
              "administrator of the authorization policy for the computer 'HOST'.\"");
        return 4;
    }
    if (Variable(L"VANTREL_REQUEST") == L"list") {
        const std::string vms = ReadAll(L"vms.json");
        Write(STD_OUTPUT_HANDLE, vms.empty() ? "[]" : vms);
    }
    return 0;
}
