#include "pipe/pipe_server_rule.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

constexpr wchar_t kUser[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";
const TokenGroupEntry kAdministrators{L"S-1-5-32-544", true, false};

PipeServerFacts Server(const wchar_t* sid, std::vector<TokenGroupEntry> groups = {}) {
    return {4242, true, sid, L"LAB\\someone", std::move(groups)};
}

TEST(PipeServerRule, OnlyTheSystemAVirtualMachineOrAnAdministratorMayServe) {
    const struct {
        PipeServerFacts server;
        bool accepted;
    } rows[] = {
        {Server(L"S-1-5-18"), true},
        {Server(L"S-1-5-83-1-1349546402-1154272431-3164232103-1822541542"), true},
        {Server(kUser, {{L"S-1-5-32-545", true, false}, kAdministrators}), true},
        {Server(kUser), false},
        // An unelevated administrator; a group held but not enabled.
        {Server(kUser, {{L"S-1-5-32-544", false, true}}), false},
        {Server(kUser, {{L"S-1-5-32-544", false, false}}), false},
        // Near misses of the accepted accounts.
        {Server(L"S-1-5-83"), false},
        {Server(L"S-1-5-830-1"), false},
        {Server(L"S-1-5-19"), false},
        // A token that cannot be read, even one that reads as LocalSystem.
        {{4242, false, L"S-1-5-18", L"", {kAdministrators}}, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(IsAcceptedPipeServer(row.server), row.accepted) << row.server.userSid;
    }
}

TEST(PipeServerRule, ARefusalNamesTheAccountAndTheProcess) {
    EXPECT_EQ(PipeServerRefusalText(L"\\\\.\\pipe\\lab", Server(kUser)),
              L"The pipe \\\\.\\pipe\\lab is served by LAB\\someone (process 4242), not by a "
              L"virtual machine: not connecting to it\r\n");
    EXPECT_EQ(PipeServerRefusalText(L"\\\\.\\pipe\\lab", {0, false, L"", L"", {}}),
              L"The pipe \\\\.\\pipe\\lab is served by an account that could not be read "
              L"(process unknown), not by a virtual machine: not connecting to it\r\n");
}

}  // namespace
