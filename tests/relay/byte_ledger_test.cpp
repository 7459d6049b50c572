#include "relay/byte_ledger.h"

#include <gtest/gtest.h>

namespace {

using namespace comm_error;

TEST(LineErrorReport, CountsEachKindAndNamesThemInOneEntry) {
    struct Row {
        std::uint32_t errorWords[3];
        const wchar_t* entry;
    };
    const Row rows[] = {
        {{kFrame, 0, 0}, L"Serial line errors: 1 framing error\r\n"},
        {{kOverrun | kFrame, kOverrun, kRxOver},
         L"Serial line errors: 3 overruns, 1 framing error (bytes came faster than the port was "
         L"read: flow control prevents this)\r\n"},
        {{kRxParity, kRxParity | kBreak, 0x8000},
         L"Serial line errors: 2 parity errors, 1 break\r\n"},
        {{0, 0x8000, 0}, L""},
    };
    for (const Row& row : rows) {
        LineErrorCounts counts;
        for (const std::uint32_t word : row.errorWords) {
            NoteLineErrors(counts, word);
        }
        EXPECT_EQ(TakeLineErrorReport(counts, 5000, false), row.entry);
        EXPECT_EQ(TakeLineErrorReport(counts, 90000, false), L"") << "each error is told once";
    }
}

TEST(LineErrorReport, ANoisyLineIsToldAtMostEveryTenSecondsAndAllAtTheStop) {
    LineErrorCounts counts;
    NoteLineErrors(counts, kFrame);
    EXPECT_NE(TakeLineErrorReport(counts, 0xFFFFF000u, false), L"");
    NoteLineErrors(counts, kFrame);
    EXPECT_EQ(TakeLineErrorReport(counts, 0xFFFFF000u + 9999, false), L"") << "across the wrap";
    NoteLineErrors(counts, kFrame);
    EXPECT_EQ(TakeLineErrorReport(counts, 0xFFFFF000u + 10000, false),
              L"Serial line errors: 2 framing errors\r\n");
    NoteLineErrors(counts, kBreak);
    EXPECT_EQ(TakeLineErrorReport(counts, 0xFFFFF000u + 10001, true),
              L"Serial line errors: 1 break\r\n");
    EXPECT_EQ(counts.total[Framing].load(), 3u);
}

TEST(ByteLedger, EachReasonHasItsEntryAndStopsAreToldOnceAcrossACarry) {
    EXPECT_EQ(DiscardedText(RelayDirection::FromPort, DiscardReason::EndAway, 7),
              L"7 bytes from the serial port were discarded while the pipe was away\r\n");
    EXPECT_EQ(DiscardedText(RelayDirection::FromPipe, DiscardReason::EndAway, 1000),
              L"1000 bytes from the pipe were discarded while the serial port was away\r\n");
    EXPECT_EQ(DiscardedText(RelayDirection::FromPipe, DiscardReason::Stopped, 3),
              L"3 bytes from the pipe were discarded when the relay stopped\r\n");
    EXPECT_EQ(DiscardedText(RelayDirection::FromPipe, DiscardReason::WriteFailed, 9),
              L"9 bytes from the pipe were discarded: the serial port refused them\r\n");

    ByteLedger before;
    NoteDiscarded(before, RelayDirection::FromPort, DiscardReason::Stopped, 5);
    EXPECT_EQ(TakeUnreportedStopped(before, RelayDirection::FromPort), 5u);
    ByteLedger after;
    CarryLedger(before, after);
    NoteDiscarded(after, RelayDirection::FromPort, DiscardReason::Stopped, 2);
    EXPECT_EQ(TakeUnreportedStopped(after, RelayDirection::FromPort), 2u);
    EXPECT_EQ(DiscardedCount(after, RelayDirection::FromPort, DiscardReason::Stopped), 7u);
    EXPECT_EQ(TakeUnreportedStopped(after, RelayDirection::FromPipe), 0u);
}

}  // namespace
