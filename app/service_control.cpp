#include "app/service_control.h"

#include <windows.h>

#include <string>

#include "app/console.h"
#include "common/event_log.h"
#include "common/handles.h"
#include "common/secure_files.h"
#include "common/system_text.h"
#include "config/settings_store.h"

namespace {

constexpr wchar_t kDescription[] =
    L"Joins the COM ports of this computer to the COM ports of Hyper-V virtual machines, for "
    L"every bridge configured in Vantrel, without anyone logged on.";
constexpr DWORD kStopWaitMs = 15000;

// Restart after a failure: 5 s, 30 s, then 60 s; the count starts afresh
// after a day without one.
bool ConfigureService(SC_HANDLE service) {
    SERVICE_DESCRIPTIONW description = {const_cast<wchar_t*>(kDescription)};
    SC_ACTION actions[] = {
        {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSW failure = {};
    failure.dwResetPeriod = 24 * 60 * 60;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    return ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description) &&
           ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
}

bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    SERVICE_STATUS status{};
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != state) {
        if (GetTickCount64() > deadline) {
            return false;
        }
        Sleep(100);
    }
    return status.dwCurrentState == state;
}

// The service runs this file as LocalSystem: whoever may change it or its
// folder (replace the file, add a DLL beside it) would run as LocalSystem
// too. Empty when only SYSTEM, Administrators and TrustedInstaller may.
std::wstring UnsafeProgramPlace(const std::wstring& program) {
    const std::wstring folder = program.substr(0, program.find_last_of(L'\\'));
    for (const std::wstring& place : {folder, program}) {
        if (const std::wstring problem = PlaceProblem(place, false); !problem.empty()) {
            return L"Vantrel is not installed as a service from the folder " + folder + L": " +
                   (place == folder ? L"the folder" : L"Vantrel.exe") + L" is not safe, " +
                   problem +
                   L". Install Vantrel under Program Files (the setup program and the MSI "
                   L"package do), where only administrators can change it.";
        }
    }
    return {};
}

}  // namespace

int InstallService() {
    if (RefusedWithoutAdministrator()) {
        return 1;
    }
    wchar_t program[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length == MAX_PATH) {
        return TellFailure(L"Couldn't find where Vantrel.exe is", GetLastError());
    }
    if (const std::wstring refusal = UnsafeProgramPlace(program); !refusal.empty()) {
        TellUser(refusal, true);
        return 1;
    }
    const std::wstring command = L"\"" + std::wstring(program) + L"\" --service";
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager.IsOpen()) {
        return TellFailure(L"Couldn't reach the service control manager", GetLastError());
    }
    // LocalSystem, starting with Windows.
    UniqueServiceHandle service(
        CreateServiceW(manager.Get(), kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    bool updated = false;
    if (!service.IsOpen()) {
        if (GetLastError() != ERROR_SERVICE_EXISTS) {
            return TellFailure(L"Couldn't install the service Vantrel", GetLastError());
        }
        // Installed before, perhaps from another folder: take it over as it is now.
        service =
            UniqueServiceHandle(OpenServiceW(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
        if (!service.IsOpen() ||
            !ChangeServiceConfigW(service.Get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                  L"LocalSystem", L"", kServiceDisplayName)) {
            return TellFailure(L"Couldn't update the service Vantrel", GetLastError());
        }
        updated = true;
    }
    if (!ConfigureService(service.Get())) {
        return TellFailure(L"Couldn't set the service's description and restart actions",
                           GetLastError());
    }
    if (const LONG status = RegisterEventSourceKey(program); status != ERROR_SUCCESS) {
        return TellFailure(L"Couldn't register the event source Vantrel",
                           static_cast<DWORD>(status));
    }
    TellUser(std::wstring(updated ? L"Updated" : L"Installed") +
                 L" the service Vantrel (\"Vantrel serial bridge\"): it starts with Windows and "
                 L"runs " +
                 command + L" as LocalSystem. Start it now with: sc start Vantrel",
             false);
    return 0;
}

int UninstallService() {
    if (RefusedWithoutAdministrator()) {
        return 1;
    }
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.IsOpen()) {
        return TellFailure(L"Couldn't reach the service control manager", GetLastError());
    }
    UniqueServiceHandle service(
        OpenServiceW(manager.Get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service.IsOpen()) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
            TellUser(L"The service Vantrel is not installed; nothing to remove.", false);
            return 0;
        }
        return TellFailure(L"Couldn't open the service Vantrel", GetLastError());
    }
    SERVICE_STATUS status{};
    bool stopped = false;
    if (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        if (!WaitForState(service.Get(), SERVICE_STOPPED, kStopWaitMs)) {
            return TellFailure(L"The service Vantrel did not stop", ERROR_SERVICE_REQUEST_TIMEOUT);
        }
        stopped = true;
    }
    if (!DeleteService(service.Get())) {
        return TellFailure(L"Couldn't remove the service Vantrel", GetLastError());
    }
    TellUser(
        stopped ? L"Stopped and removed the service Vantrel." : L"Removed the service Vantrel.",
        false);
    return 0;
}

bool IsServiceRunning() {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.IsOpen()) {
        return false;
    }
    UniqueServiceHandle service(OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    return service.Get() != nullptr && QueryServiceStatus(service.Get(), &status) &&
           status.dwCurrentState == SERVICE_RUNNING;
}
