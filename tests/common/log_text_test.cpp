#include "common/log_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring Prefix(const wchar_t* date, const wchar_t* time, std::size_t capacity = 50) {
    wchar_t buffer[1024];
    BuildTimestampPrefix(buffer, capacity, date, time);
    return buffer;
}

TEST(TimestampPrefix, DateSpaceTimeThreeSpaces) {
    EXPECT_EQ(Prefix(L"07.12.2026", L"13:05:09"), L"07.12.2026 13:05:09   ");
}

TEST(TimestampPrefix, EitherPartFailingGivesTheFixedPrefix) {
    EXPECT_EQ(Prefix(nullptr, L"13:05:09"), L"(time???\?)   ");
    EXPECT_EQ(Prefix(L"07.12.2026", nullptr), L"(time???\?)   ");
    EXPECT_EQ(Prefix(nullptr, nullptr).size(), 13u);
}

TEST(TimestampPrefix, TooLongForTheCallersBufferIsCutNeverOverrun) {
    wchar_t buffer[16];
    for (wchar_t& c : buffer) {
        c = L'#';
    }
    BuildTimestampPrefix(buffer, 12, L"Wednesday, 7 December 2026", L"1:05:09 PM");
    EXPECT_EQ(std::wstring(buffer), L"Wednesday, ");
    EXPECT_EQ(buffer[12], L'#');
}

TEST(LogTrim, NothingGoesWhileTheTextFits) {
    const std::wstring text = L"a\r\nb\r\n";
    EXPECT_EQ(LogTrimLength(text.c_str(), text.size(), 4, 10, 8), 0u);
}

TEST(LogTrim, OldestWholeLinesGoUntilBackUnderTheTarget) {
    const std::wstring text = L"line1\r\nline2\r\nline3\r\n";  // 21 characters
    // 21 + 4 > 24: keep at most 20 - 4 = 16 old characters, from a line start.
    const std::size_t drop = LogTrimLength(text.c_str(), text.size(), 4, 24, 20);
    EXPECT_EQ(drop, 7u);
    EXPECT_EQ(text.substr(drop), L"line2\r\nline3\r\n");
}

TEST(LogTrim, ALoneLineFeedAlsoEndsALine) {
    const std::wstring text = L"Pipe found, creating connection...\nConnected\r\n";
    const std::size_t drop = LogTrimLength(text.c_str(), text.size(), 10, 50, 40);
    EXPECT_EQ(text.substr(drop), L"Connected\r\n");
}

TEST(LogTrim, WithoutAnyLineEndEverythingGoes) {
    const std::wstring text(100, L'x');
    EXPECT_EQ(LogTrimLength(text.c_str(), text.size(), 10, 100, 75), 100u);
}

TEST(LogTrim, AnEntryLargerThanTheTargetClearsThePane) {
    const std::wstring text = L"a\r\n";
    EXPECT_EQ(LogTrimLength(text.c_str(), text.size(), 80, 80, 60), 3u);
}

}  // namespace
