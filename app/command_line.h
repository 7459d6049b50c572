// What the command line asks for. Platform-free.
#pragma once

#include <string>
#include <vector>

enum class ProgramMode {
    Window,   // the status window on a bridge (the default one unless named)
    Service,  // run by the service control manager
    InstallService,
    UninstallService,
    AddBridge,
    RemoveBridge,
    ListBridges,
    ListVms,   // Hyper-V's VMs and their COM ports
    AttachVm,  // a VM's COM port set to a bridge's pipe
    DetachVm,
    ListPorts,  // --list-ports [--json]
    SetDevice,  // --device ID [--bridge NAME]: the adapter an existing bridge follows
    Status,     // --status [--bridge NAME] [--json]: the service's bridges
    Help,
};

struct CommandLine {
    ProgramMode mode = ProgramMode::Window;
    std::wstring bridge;     // --bridge NAME, or the name --add-bridge or --remove-bridge is given
    std::wstring traceFile;  // --trace FILE
    std::wstring vm;         // the VM --attach-vm or --detach-vm is given
    int comPort = 1;         // --com 1|2
    bool force = false;      // --force: replace the pipe a COM port is set to
    bool json = false;       // --json
    std::wstring device;     // --device ID (with --add-bridge, or alone); empty clears it
    std::wstring error;      // what is wrong with the command line; empty when nothing
};

// The arguments after the program's name.
CommandLine ParseCommandLine(const std::vector<std::wstring>& arguments);

// What --help prints.
extern const wchar_t kUsageText[];
