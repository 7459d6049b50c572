#include "relay/byte_ledger.h"

namespace {

int Index(DiscardReason reason) {
    return static_cast<int>(reason);
}

std::wstring Counted(std::uint32_t count, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(count) + L" " + (count == 1 ? one : many);
}

}  // namespace

void NoteDiscarded(ByteLedger& ledger, RelayDirection direction, DiscardReason reason,
                   std::uint64_t count) {
    ledger.discarded[static_cast<int>(direction)][Index(reason)].fetch_add(count);
}

std::uint64_t DiscardedCount(const ByteLedger& ledger, RelayDirection direction,
                             DiscardReason reason) {
    return ledger.discarded[static_cast<int>(direction)][Index(reason)].load();
}

std::uint64_t TakeUnreportedStopped(ByteLedger& ledger, RelayDirection direction) {
    const int way = static_cast<int>(direction);
    const std::uint64_t total = ledger.discarded[way][Index(DiscardReason::Stopped)].load();
    return total - ledger.stoppedReported[way].exchange(total);
}

void CarryLedger(const ByteLedger& from, ByteLedger& into) {
    for (int way = 0; way < 2; ++way) {
        for (int reason = 0; reason < kDiscardReasonCount; ++reason) {
            into.discarded[way][reason].fetch_add(from.discarded[way][reason].load());
        }
        into.stoppedReported[way].fetch_add(from.stoppedReported[way].load());
    }
}

std::wstring DiscardedText(RelayDirection direction, DiscardReason reason, std::uint64_t count) {
    const bool fromPort = direction == RelayDirection::FromPort;
    std::wstring text =
        std::to_wstring(count) + (fromPort ? L" bytes from the serial port were discarded"
                                           : L" bytes from the pipe were discarded");
    switch (reason) {
        case DiscardReason::EndAway:
            text += fromPort ? L" while the pipe was away" : L" while the serial port was away";
            break;
        case DiscardReason::Stopped:
            text += L" when the relay stopped";
            break;
        case DiscardReason::WriteFailed:
            text += fromPort ? L": the pipe refused them" : L": the serial port refused them";
            break;
    }
    return text + L"\r\n";
}

bool NoteLineErrors(LineErrorCounts& counts, std::uint32_t errors) {
    const bool kinds[kLineErrorKindCount] = {
        (errors & (comm_error::kOverrun | comm_error::kRxOver)) != 0,
        (errors & comm_error::kFrame) != 0, (errors & comm_error::kRxParity) != 0,
        (errors & comm_error::kBreak) != 0};
    bool any = false;
    for (int kind = 0; kind < kLineErrorKindCount; ++kind) {
        if (kinds[kind]) {
            counts.total[kind].fetch_add(1);
            counts.unreported[kind].fetch_add(1);
            any = true;
        }
    }
    return any;
}

std::wstring TakeLineErrorReport(LineErrorCounts& counts, std::uint32_t now, bool force) {
    std::uint32_t last = counts.lastReportTick.load();
    // Unsigned, so that the tick counter's wrap does not matter.
    if (!force && last != 0 && now - last < kLineErrorReportMs) {
        return {};
    }
    bool any = false;
    for (const auto& unreported : counts.unreported) {
        any = any || unreported.load() != 0;
    }
    // Of two threads that both found it due, one takes the report.
    if (!any || !counts.lastReportTick.compare_exchange_strong(last, now == 0 ? 1 : now)) {
        return {};
    }
    static constexpr const wchar_t* kNames[kLineErrorKindCount][2] = {
        {L"overrun", L"overruns"},
        {L"framing error", L"framing errors"},
        {L"parity error", L"parity errors"},
        {L"break", L"breaks"}};
    std::wstring text;
    bool overruns = false;
    for (int kind = 0; kind < kLineErrorKindCount; ++kind) {
        const std::uint32_t count = counts.unreported[kind].exchange(0);
        if (count == 0) {
            continue;
        }
        overruns = overruns || kind == Overrun;
        text += (text.empty() ? L"Serial line errors: " : L", ") +
                Counted(count, kNames[kind][0], kNames[kind][1]);
    }
    if (text.empty()) {
        return {};
    }
    if (overruns) {
        text += L" (bytes came faster than the port was read: flow control prevents this)";
    }
    return text + L"\r\n";
}
