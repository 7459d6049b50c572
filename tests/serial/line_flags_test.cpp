#include "serial/line_flags.h"

#include <gtest/gtest.h>

namespace {

// The flag word member by member, lowest bit first.
struct Members {
    std::uint32_t binary, parity, outxCts, outxDsr, dtr, dsrSensitivity, txContinue, outX, inX,
        errorChar, null, rts, abortOnError, dummy2;
};

Members Split(std::uint32_t w) {
    return {w & 1,         (w >> 1) & 1,  (w >> 2) & 1,  (w >> 3) & 1, (w >> 4) & 3,
            (w >> 6) & 1,  (w >> 7) & 1,  (w >> 8) & 1,  (w >> 9) & 1, (w >> 10) & 1,
            (w >> 11) & 1, (w >> 12) & 3, (w >> 14) & 1, w >> 15};
}

constexpr std::uint32_t kAsRead = 0xFFFFFFFF;  // marker: the member keeps the driver's value

// What each fixed mode puts on the port, as the devices in the field expect.
struct Expected {
    std::uint8_t mode;
    std::uint32_t outxCts, outxDsr, dtr, dsrSensitivity, outX, inX, rts;
};
constexpr Expected kFixedModes[] = {
    {0, 0, 1, 2, 1, 0, 0, 0},
    {1, 1, 1, 2, 1, 0, 0, 1},
    {2, 0, 1, 2, 1, 1, 1, 0},
};

FlowControlSettings Settings(std::uint8_t mode, std::uint32_t cts = 0, std::uint32_t dsrOut = 0,
                             std::uint32_t dtr = 0, std::uint32_t dsrIn = 0,
                             std::uint32_t rts = 0) {
    return {mode, cts, dsrOut, dtr, dsrIn, rts};
}

void ExpectUntouchedMembersFollow(std::uint32_t asRead, const Members& got) {
    const Members read = Split(asRead);
    EXPECT_EQ(got.binary, read.binary);
    EXPECT_EQ(got.parity, read.parity);
    EXPECT_EQ(got.txContinue, read.txContinue);
    EXPECT_EQ(got.errorChar, read.errorChar);
    EXPECT_EQ(got.dummy2, read.dummy2);
    EXPECT_EQ(got.null, 0u);
    EXPECT_EQ(got.abortOnError, 0u) << "a line error must not stall the relay";
}

TEST(BuildLineFlags, FixedModesSetTheirMembersWhateverTheDriverReported) {
    for (const std::uint32_t asRead : {0xFFFFFFFFu, 0x00000000u}) {
        for (const Expected& mode : kFixedModes) {
            SCOPED_TRACE(testing::Message() << "mode " << int(mode.mode) << " read " << asRead);
            // The custom fields must not leak into a fixed mode.
            const Members got = Split(BuildLineFlags(asRead, Settings(mode.mode, 1, 0, 3, 0, 3)));
            EXPECT_EQ(got.outxCts, mode.outxCts);
            EXPECT_EQ(got.outxDsr, mode.outxDsr);
            EXPECT_EQ(got.dtr, mode.dtr);
            EXPECT_EQ(got.dsrSensitivity, mode.dsrSensitivity);
            EXPECT_EQ(got.outX, mode.outX);
            EXPECT_EQ(got.inX, mode.inX);
            EXPECT_EQ(got.rts, mode.rts);
            ExpectUntouchedMembersFollow(asRead, got);
        }
    }
}

TEST(BuildLineFlags, CustomTakesEachMemberFromItsSetting) {
    for (const std::uint32_t asRead : {0xFFFFFFFFu, 0x00000000u}) {
        const Members got = Split(BuildLineFlags(asRead, Settings(3, 1, 0, 2, 1, 3)));
        EXPECT_EQ(got.outxCts, 1u);
        EXPECT_EQ(got.outxDsr, 0u);
        EXPECT_EQ(got.dtr, 2u);
        EXPECT_EQ(got.dsrSensitivity, 1u);
        EXPECT_EQ(got.rts, 3u);   // RTS_CONTROL_TOGGLE
        EXPECT_EQ(got.outX, 0u);  // custom never turns on XON/XOFF
        EXPECT_EQ(got.inX, 0u);
        ExpectUntouchedMembersFollow(asRead, got);
    }
}

TEST(BuildLineFlags, EveryModeAboveTwoIsCustom) {
    const FlowControlSettings custom = Settings(3, 1, 1, 1, 1, 2);
    for (const std::uint8_t mode : {3, 4, 255}) {
        FlowControlSettings settings = custom;
        settings.flowControl = mode;
        EXPECT_EQ(BuildLineFlags(0x00004003u, settings), BuildLineFlags(0x00004003u, custom));
    }
}

TEST(BuildLineFlags, CustomKeepsOnlyTheLowBitsOfEachSetting) {
    for (const std::uint32_t asRead : {0xFFFFFFFFu, 0x00000000u}) {
        // 2 has a clear lowest bit; 4 has both low bits clear; 255 has them all set.
        Members got = Split(BuildLineFlags(asRead, Settings(3, 2, 2, 4, 2, 4)));
        EXPECT_EQ(got.outxCts, 0u);
        EXPECT_EQ(got.outxDsr, 0u);
        EXPECT_EQ(got.dtr, 0u);
        EXPECT_EQ(got.dsrSensitivity, 0u);
        EXPECT_EQ(got.rts, 0u);
        got = Split(BuildLineFlags(asRead, Settings(3, 255, 255, 255, 255, 255)));
        EXPECT_EQ(got.outxCts, 1u);
        EXPECT_EQ(got.outxDsr, 1u);
        EXPECT_EQ(got.dtr, 3u);
        EXPECT_EQ(got.dsrSensitivity, 1u);
        EXPECT_EQ(got.rts, 3u);
        // Out-of-range values never spill into the neighbouring members.
        EXPECT_EQ(got.txContinue, Split(asRead).txContinue);
        EXPECT_EQ(got.outX, 0u);
        EXPECT_EQ(got.abortOnError, 0u);
    }
}

}  // namespace
