#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Row {
    std::vector<std::wstring> arguments;
    ProgramMode mode;
    std::wstring bridge;
    std::wstring traceFile;
    std::wstring error;  // a part of the error; empty when none is expected
};

TEST(CommandLine, EachOptionAndEachMistake) {
    const Row rows[] = {
        {{}, ProgramMode::Window, L"", L"", L""},
        {{L"--bridge", L"lab-1"}, ProgramMode::Window, L"lab-1", L"", L""},
        {{L"--trace", L"C:\\t.txt", L"--bridge", L"B_2"},
         ProgramMode::Window,
         L"B_2",
         L"C:\\t.txt",
         L""},
        {{L"--service"}, ProgramMode::Service, L"", L"", L""},
        {{L"--install-service"}, ProgramMode::InstallService, L"", L"", L""},
        {{L"--uninstall-service"}, ProgramMode::UninstallService, L"", L"", L""},
        {{L"--add-bridge", L"lab"}, ProgramMode::AddBridge, L"lab", L"", L""},
        {{L"--remove-bridge", L"lab"}, ProgramMode::RemoveBridge, L"lab", L"", L""},
        {{L"--list-bridges"}, ProgramMode::ListBridges, L"", L"", L""},
        {{L"--help"}, ProgramMode::Help, L"", L"", L""},
        {{L"--list-ports", L"--json"}, ProgramMode::ListPorts, L"", L"", L""},
        {{L"--add-bridge", L"lab", L"--device", L"USB VID_0403 PID_6001 SN A1"},
         ProgramMode::AddBridge,
         L"lab",
         L"",
         L""},
        {{L"--device", L"ACPI\\PNP0501\\1", L"--bridge", L"lab"},
         ProgramMode::SetDevice,
         L"lab",
         L"",
         L""},
        {{L"--device", L""}, ProgramMode::SetDevice, L"", L"", L""},
        {{L"--add-bridge", L"lab", L"--device", L"COM3"},
         ProgramMode::Window,
         L"",
         L"",
         L"not an adapter"},
        {{L"--list-bridges", L"--device", L"ACPI\\PNP0501\\1"},
         ProgramMode::Window,
         L"",
         L"",
         L"--device goes"},
        {{L"--bogus"}, ProgramMode::Window, L"", L"", L"Unknown option \"--bogus\""},
        {{L"COM3"}, ProgramMode::Window, L"", L"", L"Unknown option"},
        {{L"--bridge"}, ProgramMode::Window, L"", L"", L"needs a bridge's name"},
        {{L"--trace", L""}, ProgramMode::Window, L"", L"", L"needs a file's name"},
        {{L"--trace", L"t.txt"}, ProgramMode::Window, L"", L"", L"needs the whole path"},
        {{L"--add-bridge", L"COM1"}, ProgramMode::Window, L"", L"", L"Windows device"},
        {{L"--add-bridge"}, ProgramMode::Window, L"", L"", L"needs a bridge's name"},
        {{L"--add-bridge", L"a b"}, ProgramMode::Window, L"", L"", L"is not a bridge name"},
        {{L"--bridge", L"Vantrel"}, ProgramMode::Window, L"", L"", L"default bridge"},
        {{L"--remove-bridge", std::wstring(33, L'x')},
         ProgramMode::Window,
         L"",
         L"",
         L"1 to 32 characters"},
        {{L"--service", L"--list-bridges"}, ProgramMode::Window, L"", L"", L"one of the options"},
        {{L"--service", L"--bridge", L"lab"}, ProgramMode::Window, L"", L"", L"status window only"},
        {{L"--list-vms", L"--json"}, ProgramMode::ListVms, L"", L"", L""},
        {{L"--status", L"--bridge", L"lab", L"--json"}, ProgramMode::Status, L"lab", L"", L""},
        {{L"--status", L"--bridge", L"a b"}, ProgramMode::Window, L"", L"", L"not a bridge"},
        {{L"--attach-vm", L"v", L"--bridge", L"b"}, ProgramMode::AttachVm, L"b", L"", L""},
        {{L"--detach-vm", L"v", L"--com", L"2"}, ProgramMode::DetachVm, L"", L"", L""},
        {{L"--attach-vm", L""}, ProgramMode::Window, L"", L"", L"needs a VM's name"},
        {{L"--attach-vm", L"v", L"--com", L"3"}, ProgramMode::Window, L"", L"", L"takes 1 or 2"},
        {{L"--detach-vm", L"v", L"--force"}, ProgramMode::Window, L"", L"", L"--force goes with"},
        {{L"--list-bridges", L"--json"}, ProgramMode::Window, L"", L"", L"--json goes with"},
        {{L"--list-vms", L"--com", L"1"}, ProgramMode::Window, L"", L"", L"--com goes with"},
        {{L"--detach-vm", L"v", L"--bridge", L"b"}, ProgramMode::Window, L"", L"", L"window only"},
        {{L"--attach-vm", L"v", L"--bridge", L"a b"},
         ProgramMode::Window,
         L"",
         L"",
         L"not a bridge"},
    };
    for (const Row& row : rows) {
        const CommandLine line = ParseCommandLine(row.arguments);
        const std::string shown(row.error.begin(), row.error.end());
        EXPECT_EQ(line.mode, row.mode) << shown;
        EXPECT_EQ(line.traceFile, row.traceFile) << shown;
        if (row.error.empty()) {
            EXPECT_EQ(line.error, L"");
            EXPECT_EQ(line.bridge, row.bridge);
        } else {
            EXPECT_NE(line.error.find(row.error), std::wstring::npos)
                << std::string(line.error.begin(), line.error.end());
        }
    }
    const CommandLine attach =
        ParseCommandLine({L"--force", L"--attach-vm", L"l\"1\" \u00e9", L"--com", L"2"});
    EXPECT_EQ(attach.vm, L"l\"1\" \u00e9");
    EXPECT_EQ(attach.comPort, 2);
    EXPECT_TRUE(attach.force);
    EXPECT_EQ(ParseCommandLine({L"--device", L"USB VID_0403 PID_6001 SN A1"}).device,
              L"USB VID_0403 PID_6001 SN A1");
}

}  // namespace
