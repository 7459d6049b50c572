#include "common/event_log.h"

#include <cwchar>
#include <string>

#include "common/handles.h"
#include "vantrel_events.h"

EventLogCalls EventLog = {RegisterEventSourceW, ReportEventW};

static_assert(MSG_PIPE_OPEN == 0xC0020100 && CATEGORY_PIPE == 3,
              "the pipe records keep the id and category of earlier releases");

namespace {

HANDLE eventSource = nullptr;  // held until the process ends

constexpr wchar_t kSourcesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

}  // namespace

bool RegisterProgramEventSource() {
    if (eventSource == nullptr) {
        eventSource = EventLog.registerSource(nullptr, kEventSourceName);
    }
    return eventSource != nullptr;
}

void ReportProgramEvent(WORD type, WORD category, DWORD eventId, const wchar_t* first,
                        const wchar_t* second) {
    if (!RegisterProgramEventSource()) {
        return;
    }
    const wchar_t* inserts[] = {first, second};
    const WORD count = first == nullptr ? 0 : second == nullptr ? 1 : 2;
    EventLog.reportEvent(eventSource, type, category, eventId, nullptr, count, 0, inserts, nullptr);
}

void ReportProgramEventData(WORD type, WORD category, DWORD eventId, const void* data, DWORD size) {
    EventLog.reportEvent(eventSource, type, category, eventId, nullptr, 0, size, nullptr,
                         const_cast<void*>(data));
}

LONG RegisterEventSourceKey(const wchar_t* programPath) {
    UniqueRegistryKey key;
    LONG status = RegCreateKeyExW(
        HKEY_LOCAL_MACHINE, (kSourcesKey + std::wstring(kEventSourceName)).c_str(), 0, nullptr,
        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.Put(), nullptr);
    if (status != ERROR_SUCCESS) {
        key.Release();
        return status;
    }
    const auto bytes = static_cast<DWORD>((wcslen(programPath) + 1) * sizeof(wchar_t));
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    const DWORD categories = CATEGORY_PIPE;
    for (const wchar_t* file : {L"EventMessageFile", L"CategoryMessageFile"}) {
        status = RegSetValueExW(key.Get(), file, 0, REG_EXPAND_SZ,
                                reinterpret_cast<const BYTE*>(programPath), bytes);
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
    status = RegSetValueExW(key.Get(), L"TypesSupported", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&types), sizeof types);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key.Get(), L"CategoryCount", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&categories), sizeof categories);
    }
    return status;
}
