// The text of a trace: what went over the line, which way and when, as one
// block per chunk relayed. Platform-free, so that the reader in the tests and
// the writer here agree on every character.
//
//   2026-12-09 17:50:01.123  VM -> device  20 bytes
//     48 65 6c 6c 6f 2c 20 64  65 76 69 63 65 21 0d 0a  Hello, device!..
//     00 ff 41 42                                       ..AB
//   2026-12-09 17:50:02.004  -- Lost the virtual machine's pipe
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class TraceDirection { VmToDevice, DeviceToVm };

struct TraceTime {
    std::uint16_t year, month, day, hour, minute, second, millisecond;
};

// The block of a chunk: its header line and the bytes, 16 a line, as hex
// and as the printable ASCII characters (others as '.'). UTF-8, "\r\n" ends.
std::string FormatTraceChunk(const TraceTime& time, TraceDirection direction,
                             const unsigned char* bytes, std::size_t count);
// One line for something that happened to the link ("-- " before the text).
std::string FormatTraceEvent(const TraceTime& time, const std::wstring& text);
