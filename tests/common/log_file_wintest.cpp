// The lasting log against Wine's real file system.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>

#include "common/log_file.h"
#include "support/win_test_support.h"

namespace {

std::wstring TemporaryFolder() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    const std::wstring folder = std::wstring(base) + L"vantrel-log-" +
                                std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(GetTickCount64());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

std::string Contents(const std::wstring& path) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    std::string text(2 * kLogFileLimitBytes, '\0');
    DWORD read = 0;
    if (!file.IsOpen() ||
        !ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
        return {};
    }
    text.resize(read);
    return text;
}

bool Drained(LogFile& log) {
    AcquireSRWLockShared(&log.lock);
    const bool empty = log.queued.empty();
    ReleaseSRWLockShared(&log.lock);
    return empty;
}

std::atomic<int> failures{0};
void CountFailure(void*, const std::wstring&, DWORD) {
    failures.fetch_add(1);
}

TEST(LogFileTest, RotatesAtOneMebibyteKeepingThreeOldFilesWithNothingLostBetween) {
    const std::wstring path = TemporaryFolder() + L"\\bridge.log";
    LogFile log;
    ASSERT_TRUE(StartLogFile(log, path));
    // Batches the writer can take whole, each waited for: 4.5 MiB in all.
    const std::wstring filler(990, L'x');
    int line = 0;
    for (int batch = 0; batch < 18; ++batch) {
        for (int i = 0; i < 256; ++i, ++line) {
            AppendToLogFile(log, (std::to_wstring(100000 + line) + L" " + filler + L"\r\n").c_str());
        }
        ASSERT_TRUE(test_support::PumpUntil([&] { return Drained(log); }, 60000));
    }
    StopLogFile(log);

    std::string kept;
    for (const wchar_t* suffix : {L".3", L".2", L".1", L""}) {
        const std::string part = Contents(path + suffix);
        EXPECT_GT(part.size(), 0u);
        EXPECT_LE(part.size(), kLogFileLimitBytes);
        kept += part;
    }
    EXPECT_EQ(GetFileAttributesW((path + L".4").c_str()), INVALID_FILE_ATTRIBUTES);
    // The oldest lines went with the oldest file; the rest follow each other.
    std::istringstream lines(kept);
    std::string text;
    int expected = -1;
    while (std::getline(lines, text)) {
        const int number = std::stoi(text.substr(0, 6)) - 100000;
        EXPECT_TRUE(expected < 0 || number == expected) << number;
        expected = number + 1;
    }
    EXPECT_EQ(expected, line);
}

TEST(LogFileTest, AFileThatCannotBeWrittenIsReportedOnce) {
    const std::wstring path = TemporaryFolder() + L"\\missing-folder\\bridge.log";
    LogFile log;
    log.reportFailure = CountFailure;
    failures.store(0);
    ASSERT_TRUE(StartLogFile(log, path));
    for (int i = 0; i < 3; ++i) {
        AppendToLogFile(log, L"an entry\r\n");
        ASSERT_TRUE(test_support::PumpUntil([&] { return Drained(log); }));
    }
    StopLogFile(log);
    EXPECT_EQ(failures.load(), 1);
}

}  // namespace
