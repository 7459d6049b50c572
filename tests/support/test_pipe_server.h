// A named-pipe server in the test process, standing in for Hyper-V's end.
#pragma once

#include <windows.h>

#include <string>

namespace test_support {

class TestPipeServer {
public:
    // Creates \\.\pipe\<name> (duplex, byte mode, one instance) and starts
    // waiting for a client. bufferBytes sizes both of its buffers.
    explicit TestPipeServer(const std::wstring& name, DWORD bufferBytes = 4096,
                            DWORD readMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE);
    ~TestPipeServer();
    TestPipeServer(const TestPipeServer&) = delete;
    TestPipeServer& operator=(const TestPipeServer&) = delete;

    bool WaitForClient(DWORD timeoutMs = 10000);
    HANDLE Handle() const { return pipe_; }
    std::wstring Path() const { return path_; }
    // Reads exactly count bytes or until the deadline; returns what came.
    std::string ReadExactly(std::size_t count, DWORD timeoutMs = 10000);
    // Writes all of bytes; false when the client has not taken them by the deadline.
    bool Write(const std::string& bytes, DWORD timeoutMs = 10000);
    void Close();

private:
    std::wstring path_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE connected_ = nullptr;
    OVERLAPPED overlapped_{};
};

// A name no other test uses.
std::wstring UniquePipeName(const wchar_t* stem);

}  // namespace test_support
