#include "relay/trace_format.h"

#include <cstdio>

#include "common/text.h"

namespace {

constexpr std::size_t kBytesPerLine = 16;

std::string Stamp(const TraceTime& time) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", time.year, time.month,
                  time.day, time.hour, time.minute, time.second, time.millisecond);
    return text;
}

}  // namespace

std::string FormatTraceChunk(const TraceTime& time, TraceDirection direction,
                             const unsigned char* bytes, std::size_t count) {
    std::string text = Stamp(time);
    text += direction == TraceDirection::VmToDevice ? "  VM -> device  " : "  device -> VM  ";
    text += std::to_string(count) + (count == 1 ? " byte\r\n" : " bytes\r\n");
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t line = 0; line < count; line += kBytesPerLine) {
        std::string hex = "  ";
        std::string ascii;
        for (std::size_t i = 0; i < kBytesPerLine; ++i) {
            if (i == kBytesPerLine / 2) {
                hex += ' ';
            }
            if (line + i < count) {
                const unsigned char byte = bytes[line + i];
                hex += kHex[byte >> 4];
                hex += kHex[byte & 0xF];
                hex += ' ';
                ascii += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
            } else {
                hex += "   ";
            }
        }
        text += hex + ' ' + ascii + "\r\n";
    }
    return text;
}

std::string FormatTraceEvent(const TraceTime& time, const std::wstring& text) {
    return Stamp(time) + "  -- " + ToUtf8(WithoutLineEnd(text)) + "\r\n";
}
