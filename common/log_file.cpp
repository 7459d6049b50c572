#include "common/log_file.h"

#include <cwchar>
#include <string>
#include <vector>

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
    return file.IsOpen() ? WriteWhole(file.Get(), bytes) : error;
}

DWORD WriteEntries(LogFile& log, std::vector<std::wstring>& entries) {
    std::wstring text;
    for (const std::wstring& entry : entries) {
        text += entry;
    }
    return WriteToFile(log.path, ToUtf8(text));
}

std::wstring LossNote(std::size_t lost) {
    return L"(" + std::to_wstring(lost) +
           L" characters of messages were not written: they came faster than the disk took "
           L"them)\r\n";
}

}  // namespace

bool StartLogFile(LogFile& log, const std::wstring& path) {
    log.path = path;
    log.limit = kLogQueueLimit;
    log.write = WriteEntries;
    log.lossNote = LossNote;
    return StartWriter(log);
}

void AppendToLogFile(LogFile& log, const wchar_t* text) {
    const std::size_t length = wcslen(text);
    OfferToWriter(log, length, [&] { return std::wstring(text, length); });
}
