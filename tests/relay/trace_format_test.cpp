#include "relay/trace_format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr TraceTime kTime = {2026, 12, 9, 7, 5, 3, 42};

TEST(TraceFormat, AChunkIsItsHeaderThenSixteenBytesALineAsHexAndAscii) {
    const unsigned char bytes[] =
        "Hello, device!\r\n\x00\xff"
        "AB";
    EXPECT_EQ(FormatTraceChunk(kTime, TraceDirection::VmToDevice, bytes, 20),
              "2026-12-09 07:05:03.042  VM -> device  20 bytes\r\n"
              "  48 65 6c 6c 6f 2c 20 64  65 76 69 63 65 21 0d 0a  Hello, device!..\r\n"
              "  00 ff 41 42                                       ..AB\r\n");
    EXPECT_EQ(FormatTraceChunk(kTime, TraceDirection::DeviceToVm, bytes, 1),
              "2026-12-09 07:05:03.042  device -> VM  1 byte\r\n"
              "  48                                                H\r\n");
}

TEST(TraceFormat, AnEventIsOneLineInUtf8) {
    EXPECT_EQ(FormatTraceEvent(kTime, L"Serial port COM3 lost: Broken pipe.\r\n"),
              "2026-12-09 07:05:03.042  -- Serial port COM3 lost: Broken pipe.\r\n");
    EXPECT_EQ(FormatTraceEvent(kTime, L"Prüfstand \U0001F50C"),
              "2026-12-09 07:05:03.042  -- Pr\xc3\xbc"
              "fstand \xf0\x9f\x94\x8c\r\n");
    // A surrogate without its partner, as a file name may hold, stays one character.
    EXPECT_EQ(FormatTraceEvent(kTime, std::wstring{L'a', static_cast<wchar_t>(0xD800), L'b'}),
              "2026-12-09 07:05:03.042  -- a\xef\xbf\xbd"
              "b\r\n");
}

}  // namespace
