#include "serial/modem_monitor_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// A scripted COM port: one status word (or failure) per poll, and a record
// of everything the monitor did, in order.
struct ScriptedPort {
    struct Poll {
        bool ok;
        std::uint32_t status;
    };
    explicit ScriptedPort(std::vector<Poll> script) : polls(std::move(script)) {}
    std::vector<Poll> polls;
    std::size_t next = 0;
    std::vector<std::string> events;

    static bool Read(void* self, std::uint32_t* status) {
        auto& port = *static_cast<ScriptedPort*>(self);
        const Poll poll = port.polls[port.next++];
        *status = poll.status;
        return poll.ok;
    }
    static void Report(void* self, ModemLine line, bool on) {
        static_cast<ScriptedPort*>(self)->events.push_back(
            std::string(line == ModemLine::Dcd ? "DCD " : "DSR ") + (on ? "on" : "off"));
    }
    static void Pause(void* self, std::uint32_t ms) {
        static_cast<ScriptedPort*>(self)->events.push_back("pause " + std::to_string(ms));
    }
    static bool More(void* self) {
        auto& port = *static_cast<ScriptedPort*>(self);
        return port.next < port.polls.size();
    }
    std::vector<std::string> Run() {
        RunModemMonitorLoop({this, Read, Report, Pause, More});
        return events;
    }
};

using Events = std::vector<std::string>;
constexpr std::uint32_t kDsr = modem_status::kDsrOn;
constexpr std::uint32_t kDcd = modem_status::kRlsdOn;
constexpr std::uint32_t kCts = modem_status::kCtsOn;

TEST(ModemMonitorLoop, AllLinesOffAtStartReportsNothingAndPollsGently) {
    ScriptedPort port{{{true, 0}, {true, 0}, {true, 0}}};
    EXPECT_EQ(port.Run(), (Events{"pause 100", "pause 100", "pause 100"}));
}

TEST(ModemMonitorLoop, FirstChangeReportsBothLinesCarrierFirstThenRests) {
    ScriptedPort port{{{true, kDsr}}};
    EXPECT_EQ(port.Run(), (Events{"DCD off", "DSR on", "pause 5000"}));
}

TEST(ModemMonitorLoop, AnyChangeOfTheWordReportsBothLinesAgain) {
    ScriptedPort port{{{true, kDcd | kDsr}, {true, kDcd | kDsr | kCts}}};
    EXPECT_EQ(port.Run(),
              (Events{"DCD on", "DSR on", "pause 5000", "DCD on", "DSR on", "pause 5000"}));
}

TEST(ModemMonitorLoop, ALineThatDropsAndReturnsDuringThePauseIsNotReported) {
    // The DSR drop happened while the monitor rested; the next poll sees the
    // word it last reported.
    ScriptedPort port{{{true, kDsr}, {true, kDsr}}};
    EXPECT_EQ(port.Run(), (Events{"DCD off", "DSR on", "pause 5000", "pause 100"}));
}

TEST(ModemMonitorLoop, FailedReadsChangeNothingAndWaitFiveSeconds) {
    ScriptedPort port{{{true, kDcd}, {false, 0}, {false, 0}, {true, kDcd}}};
    EXPECT_EQ(port.Run(),
              (Events{"DCD on", "DSR off", "pause 5000", "pause 5000", "pause 5000", "pause 100"}));
}

}  // namespace
