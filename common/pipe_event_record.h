// The event-log record written for each attempt to open the virtual machine's
// pipe. Platform-free, so that its exact bytes can be checked anywhere.
#pragma once

#include <cstdint>

struct PipeEventRecord {
    std::uint16_t type;      // EVENTLOG_ERROR_TYPE (1) or EVENTLOG_INFORMATION_TYPE (4)
    std::uint16_t category;  // 3
    std::uint32_t eventId;   // 0xC0020100
    const void* rawData;     // the outcome as UTF-16LE text with its NUL
    std::uint32_t rawDataSize;
};

PipeEventRecord MakePipeEventRecord(bool opened);
