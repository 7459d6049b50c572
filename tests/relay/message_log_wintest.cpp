// The Messages pane: appends from several threads, and a pane that has run
// for a long time.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/log_text.h"
#include "common/status_client.h"
#include "relay/trace.h"
#include "support/win_test_support.h"
#include "ui/resource.h"
#include "ui/status_window.h"

using test_support::PaneText;
using test_support::PumpUntil;

namespace {

class MessageLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = test_support::StatusWindowForTests();
        test_support::ClearPane();
    }
    HWND window_ = nullptr;
};

TEST_F(MessageLogTest, PiecesFromFourThreadsLandWholeAndInEachThreadsOrder) {
    constexpr int kThreads = 4;
    constexpr int kPieces = 150;
    // Static, so that writers stuck in an append can be left behind instead
    // of joined without end.
    static std::atomic<int> finished;
    finished = 0;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kPieces; ++i) {
                const std::wstring piece =
                    L"<" + std::to_wstring(t) + L":" + std::to_wstring(i) + L" abcdefgh>\r\n";
                AppendLog(test_support::DeskBridge().status, piece.c_str());
            }
            finished.fetch_add(1);
        });
    }
    // The window thread serves the appends meanwhile, as the message loop
    // does, and then those still queued.
    const auto lastPiecesShown = [&] {
        const std::wstring pane = PaneText();
        for (int t = 0; t < kThreads; ++t) {
            const std::wstring last =
                L"<" + std::to_wstring(t) + L":" + std::to_wstring(kPieces - 1) + L" abcdefgh>\r\n";
            if (pane.find(last) == std::wstring::npos) {
                return false;
            }
        }
        return true;
    };
    const bool done =
        PumpUntil([&] { return finished.load() == kThreads && lastPiecesShown(); }, 60000);
    for (std::thread& writer : writers) {
        done ? writer.join() : writer.detach();
    }
    ASSERT_TRUE(done) << finished.load() << " of " << kThreads << " writers done after 60 s";
    const std::wstring pane = PaneText();
    for (int t = 0; t < kThreads; ++t) {
        std::size_t last = 0;
        for (int i = 0; i < kPieces; ++i) {
            const std::wstring piece =
                L"<" + std::to_wstring(t) + L":" + std::to_wstring(i) + L" abcdefgh>\r\n";
            const std::size_t at = pane.find(piece);
            ASSERT_NE(at, std::wstring::npos) << "piece " << t << ":" << i << " is whole";
            EXPECT_GE(at, last);
            last = at;
        }
    }
    // No piece was split or merged: every line that carries this test's
    // marker is one whole piece. (Lines without it come from the relay
    // threads of other tests, which live on in this process.)
    const std::wregex onePieceAtTheEnd(L"[^<>]*<[0-9]+:[0-9]+ abcdefgh>");
    std::size_t ours = 0;
    std::size_t start = 0;
    while (start < pane.size()) {
        const std::size_t end = pane.find(L"\r\n", start);
        ASSERT_NE(end, std::wstring::npos) << "the pane ends with a whole line";
        const std::wstring line = pane.substr(start, end - start);
        if (line.find(L"abcdefgh") != std::wstring::npos) {
            // Another thread's piece may stand in front (its prefix, say),
            // never inside.
            EXPECT_TRUE(std::regex_match(line, onePieceAtTheEnd))
                << std::string(line.begin(), line.end());
            ++ours;
        }
        start = end + 2;
    }
    EXPECT_EQ(ours, static_cast<std::size_t>(kThreads * kPieces));
}

TEST_F(MessageLogTest, AnAppendWhileTheUserSelectsTextLandsAtTheEnd) {
    AppendLog(test_support::DeskBridge().status, L"first line\r\n");
    SendDlgItemMessageW(window_, IDC_MESSAGES, EM_SETSEL, 0, 5);
    AppendLog(test_support::DeskBridge().status, L"second line\r\n");
    EXPECT_EQ(PaneText(), L"first line\r\nsecond line\r\n");
}

TEST_F(MessageLogTest, AFullPaneDropsItsOldestLinesAndKeepsTakingNewOnes) {
    // Long entries, so the pane fills in a few hundred appends.
    const std::wstring filler(1000, L'x');
    int written = 0;
    // Twice the entries that fill it: a pane that stops growing ends the test.
    const int enough = static_cast<int>(2 * kLogLimit / filler.size());
    while (PaneText().size() + 2000 < kLogLimit) {
        ASSERT_LT(written, enough)
            << "the pane stopped growing at " << PaneText().size() << " characters";
        AppendLogEntry(test_support::DeskBridge().status,
                       (L"entry " + std::to_wstring(written++) + L" " + filler + L"\r\n").c_str());
    }
    for (int i = 0; i < 10; ++i) {
        AppendLogEntry(test_support::DeskBridge().status,
                       (L"entry " + std::to_wstring(written++) + L" " + filler + L"\r\n").c_str());
    }
    const std::wstring last = L"the newest entry\r\n";
    AppendLogEntry(test_support::DeskBridge().status, last.c_str());
    const std::wstring pane = PaneText();
    EXPECT_LE(pane.size(), kLogLimit);
    ASSERT_GE(pane.size(), last.size());
    EXPECT_EQ(pane.substr(pane.size() - last.size()), last);
    // The pane now starts with a whole entry: a time-stamp prefix and "entry".
    EXPECT_NE(pane.find(L"entry "), std::wstring::npos);
    EXPECT_LT(pane.find(L"entry "), 60u);
    EXPECT_EQ(pane.find(L"entry 0 "), std::wstring::npos) << "the oldest went first";
}

// The window's thread stops a trace and a log file whose writers fail
// meanwhile: their failures are posted to the window, never sent, so the
// stops return and the window goes on.
TEST_F(MessageLogTest, WritersThatFailWhileTheWindowStopsThemHoldNothingUp) {
    static StatusClient status;
    static std::atomic<bool> stopped;
    stopped = false;
    const std::wstring tracePath = L"C:\\users\\public\\writer-fails.txt";
    DeleteFileW(tracePath.c_str());
    std::thread windowThread([&] {
        const HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                            nullptr, nullptr);
        static WindowSink sink(window);
        status.window = &sink;
        static TraceWriter trace;
        if (StartTrace(trace, status, tracePath)) {
            // Once "Trace started" is written the writer waits for more; from
            // then on every write it makes fails.
            WIN32_FILE_ATTRIBUTE_DATA data{};
            PumpUntil([&] {
                return GetFileAttributesExW(tracePath.c_str(), GetFileExInfoStandard, &data) &&
                       data.nFileSizeLow > 0;
            });
            trace.file = UniqueFile(CreateFileW(tracePath.c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
            const BYTE chunk[4] = {1, 2, 3, 4};
            TraceChunk(trace, TraceDirection::DeviceToVm, chunk, 4);
            StopTrace(trace);
        }
        static LogFile log;
        log.reportFailure = ReportLogFileFailure;
        log.reportContext = &status;
        StartLogFile(log, L"C:\\no-such-folder\\Vantrel.log");
        AppendToLogFile(log, L"an entry\r\n");
        StopLogFile(log);
        stopped = true;
    });
    const bool returned = PumpUntil([&] { return stopped.load(); }, 30000);
    returned ? windowThread.join() : windowThread.detach();
    ASSERT_TRUE(returned) << "a stop waited for its writer's report to the window";
}

// A write that comes back only when released, as to a drive that stopped
// answering: CancelSynchronousIo cannot end it.
HANDLE writeReleased = CreateEventW(nullptr, TRUE, FALSE, nullptr);
DWORD StuckWrite(WriterQueue<TraceRecord>&, std::vector<TraceRecord>&) {
    WaitForSingleObject(writeReleased, INFINITE);
    return ERROR_SUCCESS;
}

TEST_F(MessageLogTest, NoTraceStartsUnderAWriterStillStuckInAWrite) {
    static StatusClient status;  // static: a stuck writer may outlive the test
    static ViewState view;
    status.view = &view;
    static TraceWriter trace;
    const std::wstring path = L"C:\\users\\public\\stuck-trace.txt";
    DeleteFileW(path.c_str());
    ASSERT_TRUE(StartTrace(trace, status, path));
    // Once "Trace started" is written, the writer's next write is stuck.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(PumpUntil([&] {
        return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
               data.nFileSizeLow > 0;
    }));
    trace.queue.write = StuckWrite;
    const BYTE chunk[4] = {1, 2, 3, 4};
    TraceChunk(trace, TraceDirection::DeviceToVm, chunk, 4);
    StopTrace(trace);
    ASSERT_TRUE(trace.queue.started) << "the writer was not left stuck";
    EXPECT_FALSE(StartTrace(trace, status, path));
    EXPECT_NE(view.messages.find(L"the last trace is still being written"), std::wstring::npos)
        << view.messages;
    SetEvent(writeReleased);
    ASSERT_EQ(WaitForSingleObject(trace.queue.idle.Get(), 20000), WAIT_OBJECT_0);
    EXPECT_TRUE(StartTrace(trace, status, path));
    StopTrace(trace);
}

}  // namespace
