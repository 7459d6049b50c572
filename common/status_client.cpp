#include "common/status_client.h"

#include "common/app_messages.h"
#include "common/system_text.h"
#include "config/settings_record.h"
#include "relay/log_text.h"

StatusClient ProgramStatus;

void AppendLog(StatusClient& status, const wchar_t* text) {
    if (const HWND window = status.window.load(std::memory_order_acquire)) {
        SendMessageW(window, kAppendLogMessage, 0, reinterpret_cast<LPARAM>(text));
    }
}

void AppendLog(const wchar_t* text) {
    AppendLog(ProgramStatus, text);
}

void FormatTimestamp(wchar_t* buffer, std::size_t capacity) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t date[50];
    wchar_t time[50];
    const bool dateOk =
        GetDateFormatEx(nullptr, DATE_SHORTDATE, &now, nullptr, date, 50, nullptr) != 0;
    const bool timeOk = dateOk && GetTimeFormatEx(nullptr, 0, &now, nullptr, time, 50) != 0;
    BuildTimestampPrefix(buffer, capacity, dateOk ? date : nullptr, timeOk ? time : nullptr);
}

void AppendLogEntry(StatusClient& status, const wchar_t* const* pieces, std::size_t count,
                    std::size_t prefixCapacity) {
    // Room for the largest prefix, a label, a system text of 1024 characters
    // and a line end; longer pieces are cut, never overrun.
    constexpr std::size_t kEntryCapacity = 2560;
    wchar_t entry[kEntryCapacity];
    FormatTimestamp(entry, prefixCapacity < 1024 ? prefixCapacity : 1024);
    for (std::size_t i = 0; i < count; ++i) {
        AppendText(entry, kEntryCapacity, pieces[i]);
    }
    AppendLog(status, entry);
}

void AppendLogEntry(StatusClient& status, const wchar_t* text, std::size_t prefixCapacity) {
    AppendLogEntry(status, &text, 1, prefixCapacity);
}

void AppendLogEntry(const wchar_t* text, std::size_t prefixCapacity) {
    AppendLogEntry(ProgramStatus, &text, 1, prefixCapacity);
}

bool IsSuppressed(StatusClient& status, DWORD code) {
    return IsSuppressedAt(status.ErrorThrottle, code, GetTickCount());
}

void MarkReported(StatusClient& status, DWORD code) {
    MarkReportedAt(status.ErrorThrottle, code, GetTickCount());
}

ReportResult ReportSystemError(StatusClient& status, const wchar_t* label, DWORD code,
                               const wchar_t* lineEnd) {
    wchar_t systemText[1024];
    FormatSystemText(code, kNeutralLanguage, true, systemText, 1024, L"\r\n");
    if (IsSuppressed(status, code)) {
        return ReportResult::Suppressed;
    }
    const wchar_t* pieces[] = {label, systemText, lineEnd != nullptr ? lineEnd : L""};
    AppendLogEntry(status, pieces, 3, 1024);
    MarkReported(status, code);
    return ReportResult::Written;
}

void SetStatusLine(StatusClient& status, const wchar_t* text) {
    if (const HWND window = status.window.load(std::memory_order_acquire)) {
        SendMessageW(window, kStatusLineMessage, 0, reinterpret_cast<LPARAM>(text));
    }
}

void ShowModemLamp(StatusClient& status, bool carrier, bool on) {
    if (const HWND window = status.window.load(std::memory_order_acquire)) {
        SendMessageW(window, kModemLampMessage, carrier ? kCarrierLamp : kDataSetLamp, on ? 1 : 0);
    }
}

bool PostRelayActivity(StatusClient& status) {
    const HWND window = status.window.load(std::memory_order_acquire);
    return window != nullptr && PostMessageW(window, kRelayActivityMessage, 0, 0) != FALSE;
}
