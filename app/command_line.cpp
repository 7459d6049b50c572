#include "app/command_line.h"

#include "config/bridge_names.h"

const wchar_t kUsageText[] =
    L"Usage: Vantrel.exe [--bridge NAME] [--trace FILE]\r\n"
    L"       Vantrel.exe --install-service | --uninstall-service\r\n"
    L"       Vantrel.exe --add-bridge NAME | --remove-bridge NAME | --list-bridges\r\n"
    L"\r\n"
    L"  --bridge NAME        show the status window of bridge NAME (the default bridge\r\n"
    L"                       without it)\r\n"
    L"  --trace FILE         write the bytes relayed each way to FILE\r\n"
    L"  --install-service    run every bridge as the Windows service \"Vantrel\",\r\n"
    L"                       starting with Windows (administrators)\r\n"
    L"  --uninstall-service  stop the service and remove it (administrators)\r\n"
    L"  --add-bridge NAME    make a bridge with the default settings (administrators)\r\n"
    L"  --remove-bridge NAME delete a bridge's settings (administrators)\r\n"
    L"  --list-bridges       print each bridge with its port, pipe and rate\r\n";

namespace {

struct Option {
    const wchar_t* name;
    ProgramMode mode;
    bool takesName;  // NAME or FILE follows
};

constexpr Option kCommands[] = {
    {L"--service", ProgramMode::Service, false},
    {L"--install-service", ProgramMode::InstallService, false},
    {L"--uninstall-service", ProgramMode::UninstallService, false},
    {L"--add-bridge", ProgramMode::AddBridge, true},
    {L"--remove-bridge", ProgramMode::RemoveBridge, true},
    {L"--list-bridges", ProgramMode::ListBridges, false},
    {L"--help", ProgramMode::Help, false},
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
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == L"--bridge" || argument == L"--trace") {
            if (!hasValue || arguments[i + 1].empty()) {
                return Refused(argument + (argument == L"--bridge" ? L" needs a bridge's name."
                                                                   : L" needs a file's name."));
            }
            (argument == L"--bridge" ? line.bridge : line.traceFile) = arguments[++i];
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
        if (option->takesName) {
            if (!hasValue) {
                return Refused(argument + L" needs a bridge's name.");
            }
            line.bridge = arguments[++i];
        }
    }
    if (command && windowOption) {
        return Refused(L"--bridge and --trace go with the status window only.");
    }
    const bool named = line.mode == ProgramMode::AddBridge ||
                       line.mode == ProgramMode::RemoveBridge ||
                       (line.mode == ProgramMode::Window && !line.bridge.empty());
    if (named) {
        if (const std::wstring problem = BridgeNameProblem(line.bridge); !problem.empty()) {
            return Refused(L"\"" + line.bridge + L"\" is not a bridge name: " + problem);
        }
    }
    return line;
}
