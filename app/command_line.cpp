#include "app/command_line.h"

#include "common/access_rules.h"
#include "config/bridge_names.h"
#include "serial/device_identity.h"

const wchar_t kUsageText[] =
    L"Usage: Vantrel.exe [--bridge NAME] [--trace FILE]\r\n"
    L"       Vantrel.exe --install-service | --uninstall-service\r\n"
    L"       Vantrel.exe --add-bridge NAME [--device ID] | --remove-bridge NAME | "
    L"--list-bridges\r\n"
    L"       Vantrel.exe --device ID [--bridge NAME] | --list-ports [--json]\r\n"
    L"       Vantrel.exe --list-vms [--json] | --status [--bridge NAME] [--json]\r\n"
    L"       Vantrel.exe --attach-vm VM [--com 1|2] [--bridge NAME] [--force]\r\n"
    L"       Vantrel.exe --detach-vm VM [--com 1|2]\r\n"
    L"\r\n"
    L"  --bridge NAME        show the status window of bridge NAME (the default bridge\r\n"
    L"                       without it)\r\n"
    L"  --trace FILE         write the bytes relayed each way to FILE\r\n"
    L"  --install-service    run every bridge as the Windows service \"Vantrel\",\r\n"
    L"                       starting with Windows (administrators)\r\n"
    L"  --uninstall-service  stop the service and remove it (administrators)\r\n"
    L"  --add-bridge NAME    make a bridge with the default settings (administrators)\r\n"
    L"  --remove-bridge NAME delete a bridge's settings (administrators)\r\n"
    L"  --list-bridges       print each bridge with its port, pipe and rate\r\n"
    L"  --list-vms           print Hyper-V's VMs with their state and COM ports, marking\r\n"
    L"                       those set to a bridge's pipe (--json: as JSON)\r\n"
    L"  --attach-vm VM       set COM 1 of VM (or --com 2) to the pipe of the default bridge\r\n"
    L"                       (or --bridge NAME); a port set to another pipe is left as it\r\n"
    L"                       is unless --force (administrators)\r\n"
    L"  --detach-vm VM       clear COM 1 of VM (or --com 2) (administrators)\r\n"
    L"  --status             print each bridge the service runs (or --bridge NAME): its\r\n"
    L"                       ends, line, counters and discarded bytes (--json: as JSON);\r\n"
    L"                       exit code 0 when all are connected, 3 when an end is away,\r\n"
    L"                       1 when the service does not run or answer\r\n"
    L"  --list-ports         print each COM port with its adapter's name and identity\r\n"
    L"                       (--json: as JSON)\r\n"
    L"  --device ID          the bridge (the default one, or --bridge NAME) opens the\r\n"
    L"                       adapter ID under whatever COM name it has; ID is what\r\n"
    L"                       --list-ports shows, or an instance ID; \"\" follows none\r\n"
    L"                       (administrators)\r\n";

namespace {

struct Option {
    const wchar_t* name;
    ProgramMode mode;
    std::wstring CommandLine::*takes;  // where the NAME that follows goes; null when none does
};

constexpr Option kCommands[] = {
    {L"--service", ProgramMode::Service, nullptr},
    {L"--install-service", ProgramMode::InstallService, nullptr},
    {L"--uninstall-service", ProgramMode::UninstallService, nullptr},
    {L"--add-bridge", ProgramMode::AddBridge, &CommandLine::bridge},
    {L"--remove-bridge", ProgramMode::RemoveBridge, &CommandLine::bridge},
    {L"--list-bridges", ProgramMode::ListBridges, nullptr},
    {L"--list-vms", ProgramMode::ListVms, nullptr},
    {L"--attach-vm", ProgramMode::AttachVm, &CommandLine::vm},
    {L"--detach-vm", ProgramMode::DetachVm, &CommandLine::vm},
    {L"--list-ports", ProgramMode::ListPorts, nullptr},
    {L"--status", ProgramMode::Status, nullptr},
    {L"--help", ProgramMode::Help, nullptr},
};

CommandLine Refused(std::wstring why) {
    CommandLine line;
    line.error = std::move(why);
    return line;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::wstring>& arguments) {
    CommandLine line;
    bool command = false;
    bool windowOption = false;
    bool comGiven = false;
    bool deviceGiven = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == L"--device") {
            if (!hasValue) {
                return Refused(L"--device needs an adapter's identity (--list-ports shows them).");
            }
            line.device = arguments[++i];
            deviceGiven = true;
            continue;
        }
        if (argument == L"--force" || argument == L"--json") {
            (argument == L"--force" ? line.force : line.json) = true;
            continue;
        }
        if (argument == L"--com") {
            if (!hasValue || (arguments[i + 1] != L"1" && arguments[i + 1] != L"2")) {
                return Refused(L"--com takes 1 or 2.");
            }
            line.comPort = arguments[++i][0] - L'0';
            comGiven = true;
            continue;
        }
        if (argument == L"--bridge" || argument == L"--trace") {
            if (!hasValue || arguments[i + 1].empty()) {
                return Refused(argument + (argument == L"--bridge" ? L" needs a bridge's name."
                                                                   : L" needs a file's name."));
            }
            (argument == L"--bridge" ? line.bridge : line.traceFile) = arguments[++i];
            if (argument == L"--trace" && !IsAbsolutePath(line.traceFile)) {
                return Refused(
                    L"--trace needs the whole path of a file, beginning with its "
                    L"drive (as C:\\Users\\me\\trace.txt), not \"" +
                    line.traceFile + L"\".");
            }
            windowOption = true;
            continue;
        }
        const Option* option = nullptr;
        for (const Option& candidate : kCommands) {
            if (argument == candidate.name) {
                option = &candidate;
            }
        }
        if (option == nullptr) {
            return Refused(L"Unknown option \"" + argument + L"\".");
        }
        if (command) {
            return Refused(L"Give one of the options at a time, not \"" + argument +
                           L"\" as well.");
        }
        command = true;
        line.mode = option->mode;
        if (option->takes != nullptr) {
            const bool vm = option->takes == &CommandLine::vm;
            if (!hasValue || (vm && arguments[i + 1].empty())) {
                return Refused(argument +
                               (vm ? L" needs a VM's name." : L" needs a bridge's name."));
            }
            line.*option->takes = arguments[++i];
        }
    }
    const ProgramMode mode = line.mode;
    if (command && windowOption &&
        ((mode != ProgramMode::AttachVm && mode != ProgramMode::Status) ||
         !line.traceFile.empty())) {
        return Refused(
            L"--bridge and --trace go with the status window only (and --bridge with "
            L"--attach-vm and --status).");
    }
    if (line.force && mode != ProgramMode::AttachVm) {
        return Refused(L"--force goes with --attach-vm only.");
    }
    if (comGiven && mode != ProgramMode::AttachVm && mode != ProgramMode::DetachVm) {
        return Refused(L"--com goes with --attach-vm and --detach-vm only.");
    }
    if (line.json && mode != ProgramMode::ListVms && mode != ProgramMode::ListPorts &&
        mode != ProgramMode::Status) {
        return Refused(L"--json goes with --list-vms, --list-ports and --status only.");
    }
    if (deviceGiven) {
        if (!line.traceFile.empty() || (command && mode != ProgramMode::AddBridge)) {
            return Refused(L"--device goes with --add-bridge, or alone (with --bridge NAME).");
        }
        DeviceSelector selector;
        const std::wstring problem = ParseDeviceSelector(line.device, selector);
        if (!problem.empty() && (command || !line.device.empty())) {
            return Refused(L"\"" + line.device + L"\" is not an adapter's identity: " + problem +
                           L".");
        }
        if (!command) {
            line.mode = ProgramMode::SetDevice;
        }
    }
    const bool named = line.mode == ProgramMode::AddBridge ||
                       line.mode == ProgramMode::RemoveBridge ||
                       ((line.mode == ProgramMode::Window || line.mode == ProgramMode::SetDevice) &&
                        !line.bridge.empty()) ||
                       ((line.mode == ProgramMode::AttachVm || line.mode == ProgramMode::Status) &&
                        !line.bridge.empty());
    if (named) {
        if (const std::wstring problem = BridgeNameProblem(line.bridge); !problem.empty()) {
            return Refused(L"\"" + line.bridge + L"\" is not a bridge name: " + problem);
        }
    }
    return line;
}
