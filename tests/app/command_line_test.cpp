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
        {{L"--bogus"}, ProgramMode::Window, L"", L"", L"Unknown option \"--bogus\""},
        {{L"COM3"}, ProgramMode::Window, L"", L"", L"Unknown option"},
        {{L"--bridge"}, ProgramMode::Window, L"", L"", L"needs a bridge's name"},
        {{L"--trace", L""}, ProgramMode::Window, L"", L"", L"needs a file's name"},
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
}

}  // namespace
