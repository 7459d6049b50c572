#include "relay/trace_format.h"

#include <cstdio>

namespace {

constexpr std::size_t kBytesPerLine = 16;

std::string Stamp(const TraceTime& time) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", time.year, time.month,
                  time.day, time.hour, time.minute, time.second, time.millisecond);
    return text;
}

std::string Utf8(const std::wstring& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = static_cast<std::uint32_t>(text[i]) & 0xFFFFFFu;
        // UTF-16 surrogate pairs, where wchar_t is 16 bits.
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            const std::uint32_t low = static_cast<std::uint32_t>(text[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
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
    std::wstring line = text;
    while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) {
        line.pop_back();
    }
    return Stamp(time) + "  -- " + Utf8(line) + "\r\n";
}
