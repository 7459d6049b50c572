#include "relay/message_log.h"

#include <memory>

#include "app/app_state.h"
#include "config/settings_record.h"
#include "relay/error_throttle.h"
#include "relay/log_text.h"
#include "ui/resource.h"
#include "ui/system_text.h"

void AppendLog(const wchar_t* text) {
    const HWND window = StatusWindow;
    if (window == nullptr) {
        return;
    }
    SendMessageW(window, kAppendLogMessage, 0, reinterpret_cast<LPARAM>(text));
}

void AppendToPane(HWND pane, const wchar_t* text) {
    if (pane == nullptr) {
        return;
    }
    const auto length = static_cast<std::size_t>(GetWindowTextLengthW(pane));
    const std::size_t incoming = wcslen(text);
    if (length + incoming > kLogLimit) {
        // Rare: read the pane once to find where its oldest whole lines end.
        std::unique_ptr<wchar_t[]> current(new wchar_t[length + 1]);
        const auto read = static_cast<std::size_t>(
            GetWindowTextW(pane, current.get(), static_cast<int>(length + 1)));
        const std::size_t drop = LogTrimLength(current.get(), read, incoming);
        if (drop > 0) {
            SendMessageW(pane, EM_SETSEL, 0, static_cast<LPARAM>(drop));
            SendMessageW(pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
        }
    }
    const int end = GetWindowTextLengthW(pane);
    SendMessageW(pane, EM_SETSEL, static_cast<WPARAM>(end), static_cast<LPARAM>(end));
    SendMessageW(pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
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

bool IsSuppressed(DWORD code) {
    return IsSuppressedAt(ErrorThrottle, code, GetTickCount());
}

void MarkReported(DWORD code) {
    MarkReportedAt(ErrorThrottle, code, GetTickCount());
}

ReportResult ReportSystemError(const wchar_t* label, DWORD code, const wchar_t* lineEnd) {
    wchar_t systemText[1024];
    FormatSystemText(code, kNeutralLanguage, true, systemText, 1024, L"\r\n");
    if (IsSuppressed(code)) {
        return ReportResult::Suppressed;
    }
    const wchar_t* pieces[] = {label, systemText, lineEnd != nullptr ? lineEnd : L""};
    AppendLogEntry(pieces, 3, 1024);
    MarkReported(code);
    return ReportResult::Written;
}

void AppendLogEntry(const wchar_t* text, std::size_t prefixCapacity) {
    AppendLogEntry(&text, 1, prefixCapacity);
}

void AppendLogEntry(const wchar_t* const* pieces, std::size_t count, std::size_t prefixCapacity) {
    // Room for the largest prefix, a label, a system text of 1024 characters
    // and a line end; longer pieces are cut, never overrun.
    constexpr std::size_t kEntryCapacity = 2560;
    wchar_t entry[kEntryCapacity];
    FormatTimestamp(entry, prefixCapacity < 1024 ? prefixCapacity : 1024);
    for (std::size_t i = 0; i < count; ++i) {
        AppendText(entry, kEntryCapacity, pieces[i]);
    }
    AppendLog(entry);
}
