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
    Help,
};

struct CommandLine {
    ProgramMode mode = ProgramMode::Window;
    std::wstring bridge;     // --bridge NAME, or the name --add-bridge or --remove-bridge is given
    std::wstring traceFile;  // --trace FILE
    std::wstring error;      // what is wrong with the command line; empty when nothing
};

// The arguments after the program's name.
CommandLine ParseCommandLine(const std::vector<std::wstring>& arguments);

// What --help prints.
extern const wchar_t kUsageText[];
