#include "serial/modem_lines.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

constexpr std::uint32_t kDsr = modem_status::kDsrOn;
constexpr std::uint32_t kDcd = modem_status::kRlsdOn;
constexpr std::uint32_t kCts = modem_status::kCtsOn;

struct Look {
    std::uint32_t status;
    std::uint32_t now;
    ModemLook expected;
    std::int64_t dueIn;  // afterwards: ModemLookDueIn at the same tick
};

// Each row: a look at the lines, what the watch says, and when it wants to
// look again.
void Expect(std::vector<Look> looks, std::uint32_t start = 1000) {
    ModemWatch watch;
    for (std::size_t i = 0; i < looks.size(); ++i) {
        const Look& look = looks[i];
        EXPECT_EQ(LookAtModemLines(watch, look.status, start + look.now), look.expected)
            << "look " << i;
        EXPECT_EQ(ModemLookDueIn(watch, start + look.now), look.dueIn) << "look " << i;
    }
}

TEST(ModemLines, AllLinesOffAtStartReportNothing) {
    Expect({{0, 0, ModemLook::Unchanged, -1}, {0, 100, ModemLook::Unchanged, -1}});
}

TEST(ModemLines, AnyChangeOfTheWordReportsAndStartsARest) {
    Expect({{kDsr, 0, ModemLook::Report, -1},
            {kDsr, 10, ModemLook::Unchanged, -1},
            {kDsr | kCts, 5000, ModemLook::Report, -1},
            {kDsr | kCts | kDcd, 10001, ModemLook::Report, -1}});
}

TEST(ModemLines, AChangeDuringTheRestIsLookedAtWhenItEnds) {
    Expect({{kDsr, 0, ModemLook::Report, -1},
            {kDsr | kDcd, 1000, ModemLook::Later, 4000},
            {kDsr | kDcd, 5000, ModemLook::Report, -1}});
}

TEST(ModemLines, ALineThatDropsAndReturnsDuringTheRestIsNotReported) {
    Expect({{kDsr, 0, ModemLook::Report, -1},
            {0, 1000, ModemLook::Later, 4000},
            {kDsr, 2000, ModemLook::Unchanged, -1}});
}

TEST(ModemLines, TheRestCountsAcrossTheTickWrap) {
    Expect({{kDsr, 0, ModemLook::Report, -1},
            {kDsr | kDcd, 4999, ModemLook::Later, 1},
            {kDsr | kDcd, 5000, ModemLook::Report, -1}},
           0xFFFFF000u);
}

}  // namespace
