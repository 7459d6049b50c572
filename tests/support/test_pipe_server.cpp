#include "support/test_pipe_server.h"

#include "support/win_test_support.h"

#include <algorithm>
#include <cwchar>

namespace test_support {

TestPipeServer::TestPipeServer(const std::wstring& name, DWORD bufferBytes, DWORD readMode)
    : path_(L"\\\\.\\pipe\\" + name) {
    pipe_ = CreateNamedPipeW(path_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             readMode | PIPE_WAIT, 1, bufferBytes, bufferBytes, 0, nullptr);
    connected_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    overlapped_.hEvent = connected_;
    if (pipe_ != INVALID_HANDLE_VALUE && !ConnectNamedPipe(pipe_, &overlapped_) &&
        GetLastError() == ERROR_PIPE_CONNECTED) {
        SetEvent(connected_);
    }
}

TestPipeServer::~TestPipeServer() {
    Close();
    CloseHandle(connected_);
}

// Waits serve this thread's messages meanwhile: it may own the status window,
// to which the relay threads send their log lines and wait for them.
bool TestPipeServer::WaitForClient(DWORD timeoutMs) {
    return PumpUntil([&] { return WaitForSingleObject(connected_, 0) == WAIT_OBJECT_0; },
                     timeoutMs);
}

std::string TestPipeServer::ReadExactly(std::size_t count, DWORD timeoutMs) {
    std::string bytes;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (bytes.size() < count && GetTickCount64() < deadline) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr)) {
            break;
        }
        if (available == 0) {
            PumpUntil([] { return false; }, 1);
            continue;
        }
        char buffer[4096];
        OVERLAPPED read{};
        read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(
            std::min<std::size_t>({sizeof buffer, count - bytes.size(), available}));
        if (ReadFile(pipe_, buffer, want, &got, &read) ||
            (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(pipe_, &read, &got, TRUE))) {
            bytes.append(buffer, got);
        }
        CloseHandle(read.hEvent);
    }
    return bytes;
}

bool TestPipeServer::Write(const std::string& bytes, DWORD timeoutMs) {
    OVERLAPPED write{};
    write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    BOOL ok = WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &write);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        // A client that does not read keeps the write pending: give up at the
        // deadline rather than wait for ever.
        if (!PumpUntil([&] { return WaitForSingleObject(write.hEvent, 0) == WAIT_OBJECT_0; },
                       timeoutMs)) {
            CancelIo(pipe_);
        }
        ok = GetOverlappedResult(pipe_, &write, &written, TRUE);
    }
    CloseHandle(write.hEvent);
    return ok && written == bytes.size();
}

void TestPipeServer::Close() {
    if (pipe_ != INVALID_HANDLE_VALUE) {
        CancelIo(pipe_);
        DisconnectNamedPipe(pipe_);
        CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
    }
}

std::wstring UniquePipeName(const wchar_t* stem) {
    static unsigned counter = 0;
    wchar_t name[128];
    std::swprintf(name, 128, L"%ls-%lu-%u", stem, static_cast<unsigned long>(GetCurrentProcessId()),
                  ++counter);
    return name;
}

}  // namespace test_support
