#include "common/port_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(PortNames, ABareNameOpensAsADevicePathAndAPathStaysAsItIs) {
    for (const auto& [name, path] : std::vector<std::pair<std::wstring, std::wstring>>{
             {L"COM3", L"\\\\.\\COM3"},
             {L"COM12", L"\\\\.\\COM12"},
             {L"CNCB0", L"\\\\.\\CNCB0"},
             {L"\\\\.\\COM12", L"\\\\.\\COM12"},
             {L"\\\\?\\GLOBALROOT\\Device\\Serial0", L"\\\\?\\GLOBALROOT\\Device\\Serial0"},
             {L"", L""}}) {
        EXPECT_EQ(PortDevicePath(name.c_str()), path);
    }
}

TEST(PortNames, PortsAreListedOnceInTheOrderOfTheirNumbers) {
    EXPECT_EQ(SortPortNames({L"COM12", L"CNCB0", L"com4", L"COM1", L"COM4", L"COM04"}),
              (std::vector<std::wstring>{L"COM1", L"COM4", L"COM12", L"CNCB0"}));
    EXPECT_TRUE(IsComName(L"com7"));
    for (const wchar_t* name : {L"COM", L"COM0", L"COMX", L"COM1A", L"LPT1", L"AUX"}) {
        EXPECT_FALSE(IsComName(name)) << std::wstring(name).size();
    }
}

}  // namespace
