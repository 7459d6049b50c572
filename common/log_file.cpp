#include "common/log_file.h"

#include <cwchar>
#include <string>

#include "common/secure_files.h"
#include "common/text.h"

namespace {

// Appends bytes to the file, rotating it first when they would take it past
// its limit. ERROR_SUCCESS or the failing call's error. Opened for each
// batch, so that readers and the rotation are never locked out, and each
// time without following a link (secure_files.h).
DWORD WriteToFile(const std::wstring& path, const std::string& bytes) {
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    DWORD error = ERROR_SUCCESS;
    UniqueFile file = OpenDataFile(path, FILE_APPEND_DATA, kShare, error);
    LARGE_INTEGER size{};
    if (file.IsOpen() && GetFileSizeEx(file.Get(), &size) &&
        static_cast<std::size_t>(size.QuadPart) + bytes.size() > kLogFileLimitBytes &&
        size.QuadPart > 0) {
        file.Reset();
        error = RotateDataFile(path, kLogFilesKept);
        if (error == ERROR_SUCCESS) {
            file = OpenDataFile(path, FILE_APPEND_DATA, kShare, error);
        }
    }
    if (!file.IsOpen()) {
        return error;
    }
    DWORD written = 0;
    if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        return GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI WriteLog(LPVOID argument) {
    LogFile& log = *static_cast<LogFile*>(argument);
    bool reported = false;
    for (;;) {
        WaitForSingleObject(log.ready.Get(), INFINITE);
        std::wstring text;
        AcquireSRWLockExclusive(&log.lock);
        text.swap(log.queued);
        const std::size_t dropped = std::exchange(log.dropped, 0);
        const bool stopping = log.stopping;
        ReleaseSRWLockExclusive(&log.lock);
        if (dropped > 0) {
            text += L"(" + std::to_wstring(dropped) +
                    L" characters of messages were not written: they came faster than the "
                    L"disk took them)\r\n";
        }
        if (!text.empty()) {
            const DWORD error = WriteToFile(log.path, ToUtf8(text));
            if (error != ERROR_SUCCESS && !reported && log.reportFailure != nullptr) {
                log.reportFailure(log.reportContext, log.path, error);
            }
            reported = error != ERROR_SUCCESS;
        }
        if (stopping) {
            return 0;
        }
    }
}

}  // namespace

bool StartLogFile(LogFile& log, const std::wstring& path) {
    log.path = path;
    if (!log.ready.IsOpen()) {
        return false;
    }
    log.writer = UniqueKernelHandle(CreateThread(nullptr, 0, WriteLog, &log, 0, nullptr));
    return log.writer.IsOpen();
}

void AppendToLogFile(LogFile& log, const wchar_t* text) {
    const std::size_t length = wcslen(text);
    AcquireSRWLockExclusive(&log.lock);
    if (log.queued.size() + length <= kLogQueueLimit) {
        log.queued.append(text, length);
    } else {
        log.dropped += length;
    }
    ReleaseSRWLockExclusive(&log.lock);
    SetEvent(log.ready.Get());
}

void StopLogFile(LogFile& log) {
    if (!log.writer.IsOpen()) {
        return;
    }
    AcquireSRWLockExclusive(&log.lock);
    log.stopping = true;
    ReleaseSRWLockExclusive(&log.lock);
    SetEvent(log.ready.Get());
    if (AwaitWriterThread(log.writer.Get())) {
        log.writer.Reset();
    }
}

bool AwaitWriterThread(HANDLE writer) {
    if (WaitForSingleObject(writer, kWriterStopMs) == WAIT_OBJECT_0) {
        return true;
    }
    // A synchronous write stuck in a driver can be cancelled (CancelSynchronousIo);
    // the writer then meets the failure and ends.
    CancelSynchronousIo(writer);
    return WaitForSingleObject(writer, kWriterCancelMs) == WAIT_OBJECT_0;
}
