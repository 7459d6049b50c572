// The Windows event log under source "Vantrel" (the installers register it
// too), whose messages are in the program's own message table
// (vantrel_events.mc, beside this file).
#pragma once

#include <windows.h>

inline constexpr wchar_t kEventSourceName[] = L"Vantrel";

// Through here so that tests can read the records: Wine keeps no event log
// that can be read back.
struct EventLogCalls {
    decltype(&RegisterEventSourceW) registerSource;
    decltype(&ReportEventW) reportEvent;
};
extern EventLogCalls EventLog;

// The source, registered once for the life of the process. False when it
// cannot be registered.
bool RegisterProgramEventSource();

// A record with the message id of vantrel_events.mc and its inserts.
void ReportProgramEvent(WORD type, WORD category, DWORD eventId, const wchar_t* first,
                        const wchar_t* second = nullptr);
// A record with raw data and no inserts.
void ReportProgramEventData(WORD type, WORD category, DWORD eventId, const void* data, DWORD size);

// Under HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application: the
// source, with the program as its message and category file. What the
// installers and --install-service do; needs an administrator.
LONG RegisterEventSourceKey(const wchar_t* programPath);
