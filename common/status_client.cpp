#include "common/status_client.h"

#include "common/app_messages.h"
#include "common/event_log.h"
#include "common/log_text.h"
#include "common/system_text.h"
#include "common/text.h"
#include "vantrel_events.h"

namespace {

void KeepForViewers(ViewState& view, const wchar_t* text) {
    AcquireSRWLockExclusive(&view.lock);
    const std::size_t length = wcslen(text);
    view.messages.append(text, length);
    view.messagesEnd += length;
    if (view.messages.size() > kViewMessagesLimit) {
        view.messages.erase(0, view.messages.size() - kViewMessagesLimit);
    }
    ReleaseSRWLockExclusive(&view.lock);
}

}  // namespace

void AppendLog(StatusClient& status, const wchar_t* text) {
    if (StatusSink* sink = status.window.load(std::memory_order_acquire)) {
        sink->Deliver(kAppendLogMessage, 0, reinterpret_cast<LPARAM>(text));
    }
    if (status.file != nullptr) {
        AppendToLogFile(*status.file, text);
    }
    if (status.view != nullptr) {
        KeepForViewers(*status.view, text);
    }
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
    if (StatusSink* sink = status.window.load(std::memory_order_acquire)) {
        sink->Deliver(kStatusLineMessage, 0, reinterpret_cast<LPARAM>(text));
    }
    if (ViewState* view = status.view) {
        AcquireSRWLockExclusive(&view->lock);
        view->statusLine = text;
        ReleaseSRWLockExclusive(&view->lock);
    }
}

void ShowSerialPort(StatusClient& status, const wchar_t* name) {
    if (StatusSink* sink = status.window.load(std::memory_order_acquire)) {
        sink->Deliver(kSerialPortMessage, 0, reinterpret_cast<LPARAM>(name));
    }
    if (ViewState* view = status.view) {
        AcquireSRWLockExclusive(&view->lock);
        view->serialPort = name;
        ReleaseSRWLockExclusive(&view->lock);
    }
}

void ShowModemLamp(StatusClient& status, bool carrier, bool on) {
    if (StatusSink* sink = status.window.load(std::memory_order_acquire)) {
        sink->Deliver(kModemLampMessage, carrier ? kCarrierLamp : kDataSetLamp, on ? 1 : 0);
    }
    if (ViewState* view = status.view) {
        AcquireSRWLockExclusive(&view->lock);
        (carrier ? view->carrier : view->dataSet) = on;
        ReleaseSRWLockExclusive(&view->lock);
    }
}

bool PostRelayActivity(StatusClient& status) {
    StatusSink* sink = status.window.load(std::memory_order_acquire);
    return sink != nullptr && sink->Deliver(kRelayActivityMessage, 0, 0);
}

void ReportBridgeEvent(StatusClient& status, BridgeEvent event, const wchar_t* text) {
    if (status.eventName == nullptr) {
        return;
    }
    // Entries end with their line break; the event's text does not.
    const std::wstring line = WithoutLineEnd(text);
    // By BridgeEvent: the record's type, category and message; the service's
    // own records name no bridge.
    struct Record {
        WORD type;
        WORD category;
        DWORD id;
    };
    static constexpr Record kRecords[] = {
        {EVENTLOG_WARNING_TYPE, CATEGORY_BRIDGE, MSG_END_LOST},
        {EVENTLOG_INFORMATION_TYPE, CATEGORY_BRIDGE, MSG_END_BACK},
        {EVENTLOG_ERROR_TYPE, CATEGORY_BRIDGE, MSG_SETTINGS_ERROR},
        {EVENTLOG_INFORMATION_TYPE, CATEGORY_SERVICE, MSG_SERVICE_STARTED},
        {EVENTLOG_INFORMATION_TYPE, CATEGORY_SERVICE, MSG_SERVICE_STOPPED},
        {EVENTLOG_WARNING_TYPE, CATEGORY_SERVICE, MSG_VIEWER_PIPE_PROBLEM},
    };
    const Record& record = kRecords[static_cast<int>(event)];
    if (record.category == CATEGORY_SERVICE) {
        ReportProgramEvent(record.type, record.category, record.id, line.c_str());
    } else {
        ReportProgramEvent(record.type, record.category, record.id, status.eventName, line.c_str());
    }
}

void AppendFailureEntry(StatusClient& status, const std::wstring& what, DWORD error) {
    wchar_t reason[1024];
    FormatSystemText(error, kNeutralLanguage, true, reason, 1024, L"\r\n");
    const std::wstring text = what + L": ";
    const wchar_t* pieces[] = {text.c_str(), reason};
    AppendLogEntry(status, pieces, 2, 1024);
}

void ReportLogFileFailure(void* status, const std::wstring& path, DWORD error) {
    AppendFailureEntry(*static_cast<StatusClient*>(status), L"Couldn't write the log file " + path,
                       error);
}
