// Why Windows PowerShell and not WMI's root\virtualization\v2: the reader
// runs as a process of its own, so a Hyper-V that hangs is ended at the time
// limit, with everything it started (a WMI call inside this process cannot be
// abandoned safely); Set-VMComPort does the settings change and waits for its
// job as Hyper-V's own tools do; and the test prefix stands in for it with a
// program of its own at the same path.
//
// The script is fixed text. What it is asked about comes as data in the
// environment, never spliced into a command. It answers in ASCII only, the
// rest as JSON escapes, whatever the console's code page.
#include "pipe/hyperv_reader.h"

#include "common/child_process.h"
#include "common/system_text.h"

namespace {

// Shapes from Microsoft's documentation: Get-VM (Hyper-V module) gives
// VirtualMachine objects with Name, Id, State and Generation; Get-VMComPort
// gives each COM port's Name ("COM 1", "COM 2") and Path; ConvertTo-Json
// (Windows PowerShell 5.1) writes them as JSON objects. Exit codes: 3 no
// Hyper-V module, 4 permission denied, 6 no such VM, 5 anything else.
constexpr wchar_t kScript[] =
    LR"ps(
$ErrorActionPreference = 'Stop'
$ProgressPreference = 'SilentlyContinue'
$WarningPreference = 'SilentlyContinue'
function Send($stream, $text) {
    $stream.Write([regex]::Replace([string]$text, '[^\x20-\x7e]',
        [Text.RegularExpressions.MatchEvaluator]{ param($m) '\u{0:x4}' -f [int][char]$m.Value }))
}
function Fail($code, $record) {
    Send ([Console]::Error) (ConvertTo-Json ([string]$record.Exception.Message))
    exit $code
}
try { Import-Module Hyper-V } catch { Fail 3 $_ }
try {
    if ($env:VANTREL_REQUEST -eq 'set') {
        $vm = Get-VM -Id $env:VANTREL_VM_ID
        Set-VMComPort -VM $vm -Number ([int]$env:VANTREL_COM) -Path ([string]$env:VANTREL_PIPE_PATH)
    } else {
        $vms = @(Get-VM | ForEach-Object {
            [pscustomobject]@{
                Name = $_.Name; Id = [string]$_.Id; State = [string]$_.State
                Generation = $_.Generation
                ComPorts = @(Get-VMComPort -VM $_ | ForEach-Object {
                    [pscustomobject]@{ Name = $_.Name; Path = [string]$_.Path } })
            } })
        Send ([Console]::Out) (ConvertTo-Json -InputObject $vms -Depth 4 -Compress)
    }
} catch {
    $category = [string]$_.CategoryInfo.Category
    if ($category -eq 'PermissionDenied') { Fail 4 $_ }
    if ($category -eq 'ObjectNotFound') { Fail 6 $_ }
    Fail 5 $_
}
exit 0
)ps";

bool IsMemberOf(DWORD alias) {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID group = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, alias, 0, 0, 0, 0,
                                  0, 0, &group)) {
        return false;
    }
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, group, &member)) {
        member = FALSE;
    }
    FreeSid(group);
    return member != FALSE;
}

// Hyper-V answers administrators and the Hyper-V Administrators group
// (S-1-5-32-578); others get nothing, or an empty list on some versions, so
// they are told before it is asked.
bool MayAskHyperV() {
    constexpr DWORD kHyperVAdministrators = 578;
    return IsMemberOf(DOMAIN_ALIAS_RID_ADMINS) || IsMemberOf(kHyperVAdministrators);
}

HyperVOutcome Ask(const std::vector<std::wstring>& variables, HANDLE cancel) {
    HyperVOutcome outcome;
    if (!MayAskHyperV()) {
        outcome.result = HyperVResult::NotAllowed;
        return outcome;
    }
    const std::wstring program = PowerShellPath();
    const ChildOutcome child =
        RunChild(program,
                 L"\"" + program + L"\" -NoLogo -NoProfile -NonInteractive -EncodedCommand " +
                     EncodedCommand(kScript),
                 variables, kHyperVTimeLimitMs, cancel);
    switch (child.end) {
        case ChildEnd::NotStarted: {
            if (child.error == ERROR_FILE_NOT_FOUND || child.error == ERROR_PATH_NOT_FOUND) {
                outcome.result = HyperVResult::NoPowerShell;
                outcome.detail = program;
                return outcome;
            }
            wchar_t reason[1024];
            FormatSystemText(child.error, kNeutralLanguage, true, reason, 1024);
            outcome.detail = std::wstring(L"Windows PowerShell could not be started: ") + reason;
            while (!outcome.detail.empty() && outcome.detail.back() <= L' ') {
                outcome.detail.pop_back();
            }
            return outcome;
        }
        case ChildEnd::TimedOut:
            outcome.result = HyperVResult::TimedOut;
            return outcome;
        case ChildEnd::Cancelled:
            outcome.result = HyperVResult::Cancelled;
            return outcome;
        case ChildEnd::Exited:
            break;
    }
    outcome.detail = JsonTextOrRaw(child.errors);
    switch (child.exitCode) {
        case 0:
            outcome.result = HyperVResult::Done;
            if (!variables.empty() && variables[0] == L"VANTREL_REQUEST=list" &&
                !ParseVmList(child.output, outcome.vms, outcome.detail)) {
                outcome.result = HyperVResult::Failed;
                outcome.detail = L"its answer could not be read: " + outcome.detail;
            }
            return outcome;
        case 3:
            outcome.result = HyperVResult::Absent;
            return outcome;
        case 4:
            outcome.result = HyperVResult::NotAllowed;
            return outcome;
        case 6:
            outcome.result = HyperVResult::NoSuchVm;
            return outcome;
        default:
            if (outcome.detail.empty()) {
                outcome.detail =
                    L"Windows PowerShell ended with exit code " + std::to_wstring(child.exitCode);
            }
            return outcome;
    }
}

}  // namespace

std::wstring PowerShellPath() {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    const std::wstring system =
        length > 0 && length < MAX_PATH ? std::wstring(folder, length) : L"C:\\Windows\\System32";
    return system + L"\\WindowsPowerShell\\v1.0\\powershell.exe";
}

HyperVOutcome ReadHyperV(HANDLE cancel) {
    return Ask({L"VANTREL_REQUEST=list"}, cancel);
}

HyperVOutcome SetVmComPort(const std::wstring& vmId, int com, const std::wstring& path) {
    return Ask({L"VANTREL_REQUEST=set", L"VANTREL_VM_ID=" + vmId,
                L"VANTREL_COM=" + std::to_wstring(com), L"VANTREL_PIPE_PATH=" + path},
               nullptr);
}
