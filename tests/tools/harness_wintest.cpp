// What tests/run_wine_tests.py promises the integration tests, checked from
// the Windows side: a pty-backed COM port named in VANTREL_TEST_COM whose
// device end (VANTREL_TEST_DEVICE, a Unix path) carries the bytes, and the
// stand-in VM program in VANTREL_TEST_VMSTUB.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t value[1024];
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

class RunnerEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = Environment(L"VANTREL_TEST_COM");
        device_ = Environment(L"VANTREL_TEST_DEVICE");
        if (port_.empty() || device_.empty()) {
            GTEST_SKIP() << "not started by the Wine test runner";
        }
    }
    void TearDown() override {
        for (HANDLE handle : {com_, deviceHandle_}) {
            if (handle != INVALID_HANDLE_VALUE) {
                CloseHandle(handle);
            }
        }
    }
    void OpenBothEnds() {
        com_ = CreateFileW((L"\\\\.\\" + port_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(com_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        COMMTIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = 10000;
        ASSERT_TRUE(SetCommTimeouts(com_, &timeouts));
        // The device end is a plain file to Windows, reached through Z:.
        std::wstring path = L"Z:" + device_;
        for (wchar_t& c : path) {
            c = c == L'/' ? L'\\' : c;
        }
        deviceHandle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
        ASSERT_NE(deviceHandle_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    }
    static std::string ReadSome(HANDLE from, DWORD count) {
        std::string data(count, '\0');
        DWORD got = 0;
        DWORD total = 0;
        while (total < count && ReadFile(from, data.data() + total, count - total, &got, nullptr) &&
               got > 0) {
            total += got;
        }
        data.resize(total);
        return data;
    }
    // The device end has no time-outs of its own: its read runs on a thread
    // of its own and is given up, failing the test, after ten seconds.
    static std::string ReadDevice(HANDLE device, DWORD count) {
        std::packaged_task<std::string()> read([=] { return ReadSome(device, count); });
        std::future<std::string> result = read.get_future();
        std::thread(std::move(read)).detach();
        if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            CancelIoEx(device, nullptr);
            ADD_FAILURE() << count << " bytes did not reach the device end within 10 s";
            return {};
        }
        return result.get();
    }
    std::wstring port_;
    std::wstring device_;
    HANDLE com_ = INVALID_HANDLE_VALUE;
    HANDLE deviceHandle_ = INVALID_HANDLE_VALUE;
};

TEST_F(RunnerEnvironment, BytesCrossThePortInBothDirections) {
    OpenBothEnds();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(com_, &dcb)) << "a real line, not just a file";

    DWORD written = 0;
    ASSERT_TRUE(WriteFile(com_, "to device\0\xff", 11, &written, nullptr));
    EXPECT_EQ(written, 11u);
    EXPECT_EQ(ReadDevice(deviceHandle_, 11), std::string("to device\0\xff", 11));

    ASSERT_TRUE(WriteFile(deviceHandle_, "to host", 7, &written, nullptr));
    EXPECT_EQ(ReadSome(com_, 7), "to host");
}

TEST_F(RunnerEnvironment, NamesTheStandInVm) {
    const std::wstring stub = Environment(L"VANTREL_TEST_VMSTUB");
    ASSERT_FALSE(stub.empty());
    EXPECT_NE(GetFileAttributesW(stub.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
