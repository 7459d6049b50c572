#include "app/status_report.h"

#include <gtest/gtest.h>

namespace {

TEST(StatusReport, AnEndAwayDegradesTheExitCodeAndEachEndSaysItsState) {
    BridgeStatus up{L"lab", {}, L"2026-12-10T13:40:02Z"};
    up.reply.endState[0] = up.reply.endState[1] = static_cast<std::uint8_t>(EndState::Connected);
    up.reply.counters[1] = 4096;
    up.reply.discarded[1][0] = 5;
    up.reply.discarded[1][2] = 2;
    BridgeStatus away{L"a\"b", up.reply, L""};
    away.reply.endState[1] = static_cast<std::uint8_t>(EndState::Away);
    ToWire(L"No VM's COM port is set to \\\\.\\pipe\\lab", away.reply.pipeDiagnosis,
           kViewerTextCapacity);
    EXPECT_EQ(StatusExitCode({up}), 0);
    EXPECT_EQ(StatusExitCode({up, away}), kStatusDegraded);
    EXPECT_EQ(StatusExitCode({}), 0);

    const std::wstring json = StatusJson({up, away});
    for (const wchar_t* part :
         {L"{\"version\": 1, \"bridges\": [", L"\"connectedSince\": \"2026-12-10T13:40:02Z\"",
          L"\"name\": \"a\\\"b\", \"connected\": false, \"connectedSince\": null",
          L"\"state\": \"away\"", L"\"virtualSent\": 4096", L"\"fromPipe\": 7",
          L"\"reconnects\": 0, \"diagnosis\": null}",
          L"\"diagnosis\": \"No VM's COM port is set to \\\\\\\\.\\\\pipe\\\\lab\"}"}) {
        EXPECT_NE(json.find(part), std::wstring::npos) << std::string(json.begin(), json.end());
    }
    EXPECT_NE(StatusText({away}).find(L"COM port : away"), std::wstring::npos);
}

}  // namespace
