#include "app/vm_commands.h"

#include "app/console.h"
#include "app/service.h"
#include "config/settings_store.h"
#include "pipe/hyperv_reader.h"

namespace {

bool TellIfFailed(const HyperVOutcome& outcome, const wchar_t* what) {
    if (outcome.result == HyperVResult::Done) {
        return false;
    }
    TellUser(std::wstring(what) + HyperVProblemText(outcome.result, outcome.detail) + L".", true);
    return true;
}

// The one VM named name, read afresh from Hyper-V; null after telling why not.
const VmRecord* FindVm(const HyperVOutcome& outcome, const std::wstring& name) {
    if (TellIfFailed(outcome, L"Couldn't read Hyper-V's virtual machines: ")) {
        return nullptr;
    }
    const std::vector<const VmRecord*> found = VmsNamed(outcome.vms, name);
    if (const std::wstring problem = VmLookupProblem(found, name); !problem.empty()) {
        TellUser(problem, true);
        return nullptr;
    }
    return found[0];
}

int SetPort(const VmRecord& vm, int com, const std::wstring& path, const std::wstring& done) {
    if (TellIfFailed(SetVmComPort(vm.id, com, path), L"Hyper-V did not change it: ")) {
        return 1;
    }
    TellUser(done + RunningVmNote(vm), false);
    return 0;
}

}  // namespace

int ListVmsCommand(bool json) {
    const HyperVOutcome outcome = ReadHyperV();
    if (TellIfFailed(outcome, L"Couldn't read Hyper-V's virtual machines: ")) {
        return 1;
    }
    const std::vector<BridgeEnds> bridges = ConfiguredBridges();
    TellUser(json ? VmListJson(outcome.vms, bridges) : VmListText(outcome.vms, bridges), false);
    return 0;
}

int AttachVmCommand(const CommandLine& line) {
    if (RefusedWithoutAdministrator()) {
        return 1;
    }
    PortSettingsRecord settings{};
    if (!ReadSettingsStore(settings, BridgeStore(line.bridge)).read) {
        if (!line.bridge.empty()) {
            TellUser(L"There is no bridge " + line.bridge + L". --list-bridges shows the bridges.",
                     true);
            return 1;
        }
        // The default bridge runs on the defaults until it has a store.
        ApplyDefaultSettings(settings);
    }
    const std::wstring path = settings.pipePath;
    const HyperVOutcome outcome = ReadHyperV();
    const VmRecord* vm = FindVm(outcome, line.vm);
    if (vm == nullptr) {
        return 1;
    }
    if (const std::wstring refusal = AttachRefusal(*vm, line.comPort, path, line.force);
        !refusal.empty()) {
        TellUser(refusal, true);
        return 1;
    }
    if (SamePipePath(vm->comPath[line.comPort - 1], path)) {
        TellUser(VmPortText(*vm, line.comPort) + L" is set to " + path + L" already.", false);
        return 0;
    }
    return SetPort(*vm, line.comPort, path,
                   VmPortText(*vm, line.comPort) + L" is now set to " + path + L", the pipe of " +
                       (line.bridge.empty() ? L"the default bridge" : L"bridge " + line.bridge) +
                       L".");
}

int DetachVmCommand(const CommandLine& line) {
    if (RefusedWithoutAdministrator()) {
        return 1;
    }
    const HyperVOutcome outcome = ReadHyperV();
    const VmRecord* vm = FindVm(outcome, line.vm);
    if (vm == nullptr) {
        return 1;
    }
    if (vm->comPath[line.comPort - 1].empty()) {
        TellUser(VmPortText(*vm, line.comPort) + L" is not set to a pipe.", false);
        return 0;
    }
    return SetPort(*vm, line.comPort, L"",
                   VmPortText(*vm, line.comPort) + L" is no longer set to " +
                       vm->comPath[line.comPort - 1] + L".");
}
