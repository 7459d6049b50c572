// Where the bytes went that were read from one end and never reached the
// other, and the line errors the COM port's driver reported. Every byte the
// relay reads is either written or counted here with its reason, so that
// read = written + discarded holds each way. Platform-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

enum class RelayDirection : int { FromPort = 0, FromPipe = 1 };

enum class DiscardReason : int {
    EndAway = 0,      // the end the bytes were for was lost and not yet back
    Stopped = 1,      // the relay stopped (Exit, a reload) while they were on their way
    WriteFailed = 2,  // the end refused them with an error that does not mean it is gone
};
inline constexpr int kDiscardReasonCount = 3;

struct ByteLedger {
    std::atomic<std::uint64_t> discarded[2][kDiscardReasonCount]{};
    // Of the bytes discarded at a stop, those already in an entry.
    std::atomic<std::uint64_t> stoppedReported[2]{};
};

void NoteDiscarded(ByteLedger& ledger, RelayDirection direction, DiscardReason reason,
                   std::uint64_t count);
std::uint64_t DiscardedCount(const ByteLedger& ledger, RelayDirection direction,
                             DiscardReason reason);

// The bytes of direction discarded at a stop since the last call.
std::uint64_t TakeUnreportedStopped(ByteLedger& ledger, RelayDirection direction);
// Adds every count of from to into (a relay that takes over from another).
void CarryLedger(const ByteLedger& from, ByteLedger& into);

// "N bytes from the serial port were discarded while the pipe was away\r\n"
// and its kin: the entry for count bytes of one direction and reason.
std::wstring DiscardedText(RelayDirection direction, DiscardReason reason, std::uint64_t count);

// The CE_ bits of ClearCommError, as documented for it.
namespace comm_error {
inline constexpr std::uint32_t kRxOver = 0x0001;
inline constexpr std::uint32_t kOverrun = 0x0002;
inline constexpr std::uint32_t kRxParity = 0x0004;
inline constexpr std::uint32_t kFrame = 0x0008;
inline constexpr std::uint32_t kBreak = 0x0010;
}  // namespace comm_error

enum LineErrorKind : int { Overrun = 0, Framing = 1, Parity = 2, Break = 3 };
inline constexpr int kLineErrorKindCount = 4;

struct LineErrorCounts {
    std::atomic<std::uint32_t> total[kLineErrorKindCount]{};
    std::atomic<std::uint32_t> unreported[kLineErrorKindCount]{};
    // The tick of the last entry, 0 before the first; entries are at most
    // one every kLineErrorReportMs so that a noisy line cannot flood the log.
    std::atomic<std::uint32_t> lastReportTick{0};
};
inline constexpr std::uint32_t kLineErrorReportMs = 10000;

// One of each kind flagged in errors (a ClearCommError word). True when any was.
bool NoteLineErrors(LineErrorCounts& counts, std::uint32_t errors);
// The entry for what was counted since the last one ("Serial line errors: 3
// overruns, 1 framing error\r\n", with a hint when overruns are among them),
// or empty when there is nothing or the last entry is too recent. force
// ignores the time (the relay is stopping).
std::wstring TakeLineErrorReport(LineErrorCounts& counts, std::uint32_t now, bool force);
