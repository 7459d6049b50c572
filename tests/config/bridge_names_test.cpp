#include "config/bridge_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(BridgeNames, OneToThirtyTwoLettersDigitsDashesAndUnderscores) {
    for (const std::wstring& name : std::vector<std::wstring>{
             L"a", L"Lab-VM_2", std::wstring(32, L'z'), L"COM10", L"console", L"LPT", L"NULL"}) {
        EXPECT_TRUE(IsValidBridgeName(name)) << name.size();
    }
    for (const std::wstring& name : std::vector<std::wstring>{L"", std::wstring(33, L'z'), L"a b",
                                                              L"a/b", L"a\\b", L"ä", L"vantrel"}) {
        EXPECT_FALSE(BridgeNameProblem(name).empty()) << name.size();
    }
    // Windows devices, with or without an extension, in any case.
    for (const std::wstring& name :
         std::vector<std::wstring>{L"CON", L"prn", L"Aux", L"nul.log", L"COM0", L"com9", L"LPT1",
                                   L"lpt0.txt", L"COM\u00B9", L"LPT\u00B3", L"CONOUT$"}) {
        EXPECT_NE(BridgeNameProblem(name).find(L"Windows device"), std::wstring::npos) << name;
    }
}

TEST(BridgeNames, EachBridgeHasItsStoreLogAndCaption) {
    EXPECT_EQ(BridgeStore(L"").parent, L"Software\\Orbenwick");
    EXPECT_EQ(BridgeStore(L"").subkey, L"Vantrel");
    EXPECT_EQ(BridgeStore(L"lab").parent, L"Software\\Orbenwick\\Vantrel\\Bridges");
    EXPECT_EQ(BridgeStore(L"lab").subkey, L"lab");
    EXPECT_EQ(BridgeLogFileName(L""), L"Vantrel.log");
    EXPECT_EQ(BridgeLogFileName(L"lab"), L"lab.log");
    EXPECT_EQ(BridgeCaption(L""), L"Vantrel");
    EXPECT_EQ(BridgeCaption(L"lab"), L"Vantrel - lab");
}

TEST(BridgeNames, TwoBridgesOnOnePortOrOnePipeAreRefusedByName) {
    const std::vector<BridgeEnds> others = {{L"", L"COM3", L"Vantrel"},
                                            {L"lab", L"\\\\.\\com12", L"Lab VM"}};
    const struct {
        BridgeEnds bridge;
        std::wstring refusal;
    } rows[] = {
        {{L"new", L"COM4", L"Other"}, L""},
        {{L"new", L"com3", L"Other"},
         L"Bridge new and the default bridge are both set to use COM port com3; each bridge "
         L"needs its own COM port and pipe."},
        {{L"new", L"COM12", L"Other"},
         L"Bridge new and bridge lab are both set to use COM port COM12; each bridge needs its "
         L"own COM port and pipe."},
        {{L"", L"COM9", L"lab vm"},
         L"The default bridge and bridge lab are both set to use pipe lab vm; each bridge needs "
         L"its own COM port and pipe."},
        // A bridge is not in its own way.
        {{L"LAB", L"\\\\.\\COM12", L"Lab VM"}, L""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(BridgeConflict(row.bridge, others), row.refusal);
    }
}

}  // namespace
