// The relay threads against real pipes under Wine. A message-mode pipe
// stands in for the COM port where chunk boundaries matter: each write to it
// arrives as one message.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "config/settings_record.h"
#include "pipe/pipe_client.h"
#include "relay/link_recovery.h"
#include "relay/relay_pumps.h"
#include "serial/serial_port.h"
#include "support/test_pipe_server.h"
#include "support/win_test_support.h"

using test_support::TestPipeServer;
using test_support::UniquePipeName;

namespace {

// Opened as the program opens both of its ends: for overlapped I/O.
HANDLE OpenEnd(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

std::string RandomBytes(std::size_t count, unsigned seed) {
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<char>(seed >> 16);
    }
    return bytes;
}

// The relay threads never end; each test gives them a record of their own
// that outlives the test, whose messages go to no window.
RelayContextRecord* NewContext(HANDLE pipe, HANDLE serial) {
    return new RelayContextRecord{{SRWLOCK_INIT, pipe}, {SRWLOCK_INIT, serial}, *new StatusClient};
}

using RelayTest = ::testing::Test;

std::uint32_t Counted(const RelayContextRecord& context, TrafficCounter counter) {
    return CounterValue(context.traffic.TrafficCounters, counter);
}

TEST_F(RelayTest, ChunksFromThePipeReachTheSerialSideAsReadWhole) {
    const std::wstring vmName = UniquePipeName(L"relay-vm");
    const std::wstring serialName = UniquePipeName(L"relay-serial");
    // Never closed: a pump whose pipe fails goes looking for the pipe named
    // in the link settings, which a later test sets to its own.
    TestPipeServer& vm = *new TestPipeServer(vmName);
    TestPipeServer& device =
        *new TestPipeServer(serialName, 4096, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE);
    const HANDLE pipe = OpenEnd(vm.Path());
    const HANDLE serial = OpenEnd(device.Path());
    ASSERT_TRUE(vm.WaitForClient());
    ASSERT_TRUE(device.WaitForClient());

    // All 250 bytes wait in the pipe before the pump looks.
    const std::string sent = RandomBytes(250, 7);
    ASSERT_TRUE(vm.Write(sent));
    RelayContextRecord* context = NewContext(pipe, serial);
    CloseHandle(CreateThread(nullptr, 0, PipeToSerialPump, context, 0, nullptr));

    std::vector<std::size_t> chunks;
    std::string received;
    while (received.size() < sent.size()) {
        char message[512];
        DWORD read = 0;
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const BOOL ok = ReadFile(device.Handle(), message, sizeof message, &read, &overlapped) ||
                        (GetLastError() == ERROR_IO_PENDING &&
                         WaitForSingleObject(overlapped.hEvent, 10000) == WAIT_OBJECT_0 &&
                         GetOverlappedResult(device.Handle(), &overlapped, &read, FALSE));
        CloseHandle(overlapped.hEvent);
        ASSERT_TRUE(ok) << "after " << received.size() << " bytes";
        chunks.push_back(read);
        received.append(message, read);
    }
    EXPECT_EQ(chunks, (std::vector<std::size_t>{250}));
    EXPECT_EQ(received, sent);
    EXPECT_TRUE(test_support::PumpUntil([&] { return Counted(*context, SerialSent) == 250; }));
    EXPECT_EQ(Counted(*context, VirtualReceived), 250u);
}

// Writes to the pipe that had to wait for room.
std::atomic<int> waitingWrites{0};
BOOL WINAPI CountWaitingWrites(HANDLE handle, LPCVOID bytes, DWORD length, LPDWORD written,
                               LPOVERLAPPED overlapped) {
    const BOOL done = WriteFile(handle, bytes, length, written, overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        waitingWrites.fetch_add(1);
        SetLastError(ERROR_IO_PENDING);
    }
    return done;
}

TEST_F(RelayTest, AFullPipeDelaysBytesButLosesNone) {
    const std::wstring name = UniquePipeName(L"relay-full");
    // A pipe that holds less than one chunk from the COM port.
    TestPipeServer vm(name, 4);
    const HANDLE pipe = OpenEnd(vm.Path());
    ASSERT_TRUE(vm.WaitForClient());
    RelayContextRecord* context = NewContext(pipe, INVALID_HANDLE_VALUE);

    const std::string sent = RandomBytes(2000, 11);
    std::string received;
    std::thread reader([&] {
        // The virtual machine is slow to read at first.
        Sleep(300);
        received = vm.ReadExactly(sent.size(), 30000);
    });
    const RelayIoCalls saved = RelayIo;
    RelayIo.write = CountWaitingWrites;
    waitingWrites.store(0);
    for (std::size_t at = 0; at < sent.size(); at += 10) {
        WriteToPipe(*context, reinterpret_cast<const BYTE*>(sent.data() + at), 10);
    }
    RelayIo = saved;
    reader.join();
    EXPECT_GT(waitingWrites.load(), 0) << "the pipe was full at times";
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_EQ(received, sent);
    EXPECT_EQ(Counted(*context, VirtualSent), 2000u);
}

TEST_F(RelayTest, BytesForAPipeThatIsAwayAreDroppedAndNotCounted) {
    RelayContextRecord* context = NewContext(INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE);
    const BYTE chunk[10] = {};
    WriteToPipe(*context, chunk, 10);
    WriteToSerial(*context, chunk, 10);
    EXPECT_EQ(Counted(*context, VirtualSent), 0u);
    EXPECT_EQ(Counted(*context, SerialSent), 0u);
}

// The virtual machine restarts: its pipe goes away and comes back under the
// same name. The relay finds it again by itself and bytes flow once more.
TEST_F(RelayTest, ThePipeIsFoundAgainAfterTheVirtualMachineRestarts) {
    const std::wstring name = UniquePipeName(L"relay-restart");
    const std::wstring serialName = UniquePipeName(L"relay-restart-serial");
    ASSERT_TRUE(RegisterPipeEventSource());
    auto vm = std::make_unique<TestPipeServer>(name);
    TestPipeServer device(serialName);
    const HANDLE pipe = OpenEnd(vm->Path());
    const HANDLE serial = OpenEnd(device.Path());
    ASSERT_TRUE(vm->WaitForClient());
    RelayContextRecord* context = NewContext(pipe, serial);
    SetPipeName(context->linkSettings, name.c_str());
    ASSERT_TRUE(StartLinkKeepers(*context));
    CloseHandle(CreateThread(nullptr, 0, PipeToSerialPump, context, 0, nullptr));

    ASSERT_TRUE(vm->Write("before"));
    EXPECT_EQ(device.ReadExactly(6), "before");

    vm.reset();  // the virtual machine shuts down
    EXPECT_TRUE(test_support::PumpUntil(
        [&] { return context->pipe.handle.load() == INVALID_HANDLE_VALUE; }, 10000));
    vm = std::make_unique<TestPipeServer>(name);  // and starts again
    ASSERT_TRUE(vm->WaitForClient(20000)) << "reconnects within a retry period";
    EXPECT_TRUE(
        test_support::PumpUntil([&] { return IsOpenHandle(context->pipe.handle.load()); }, 10000));
    ASSERT_TRUE(vm->Write("after"));
    EXPECT_EQ(device.ReadExactly(5), "after");
}

// A driver that signals its events, as Windows' serial drivers do: bytes
// received and DSR raised at once, then nothing more.
std::atomic<int> eventWaits{0};
BOOL WINAPI AcceptMask(HANDLE, DWORD) {
    return TRUE;
}
BOOL WINAPI SignalBytesAndDsr(HANDLE, LPDWORD mask, LPOVERLAPPED overlapped) {
    if (eventWaits.fetch_add(1) > 0) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    *mask = EV_RXCHAR | EV_DSR;
    overlapped->Internal = 0;
    overlapped->InternalHigh = 0;
    SetEvent(overlapped->hEvent);
    return TRUE;
}
BOOL WINAPI DsrOn(HANDLE, LPDWORD status) {
    *status = MS_DSR_ON;
    return TRUE;
}

TEST_F(RelayTest, WhatTheDriverSignalsIsReadAndLookedAt) {
    TestPipeServer vm(UniquePipeName(L"relay-events-vm"));
    TestPipeServer device(UniquePipeName(L"relay-events-serial"), 4096,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE);
    const HANDLE pipe = OpenEnd(vm.Path());
    const HANDLE serial = OpenEnd(device.Path());
    ASSERT_TRUE(vm.WaitForClient());
    ASSERT_TRUE(device.WaitForClient());
    ASSERT_TRUE(device.Write("signalled"));
    RelayContextRecord* context = NewContext(pipe, serial);
    auto* view = new ViewState;
    context->status.view = view;
    const CommEventCalls saved = CommEvents;
    const auto savedLines = ModemStatusSource;
    CommEvents = {AcceptMask, SignalBytesAndDsr};
    ModemStatusSource = DsrOn;
    eventWaits.store(0);
    CloseHandle(CreateThread(nullptr, 0, SerialToPipePump, context, 0, nullptr));
    EXPECT_EQ(vm.ReadExactly(9), "signalled");
    EXPECT_TRUE(test_support::PumpUntil([&] { return eventWaits.load() >= 2; }));
    CommEvents = saved;
    ModemStatusSource = savedLines;
    AcquireSRWLockShared(&view->lock);
    EXPECT_TRUE(view->dataSet) << "DSR looked at on the driver's word";
    EXPECT_NE(view->messages.find(L"Serial port ready (DSR on)"), std::wstring::npos);
    ReleaseSRWLockShared(&view->lock);
}

}  // namespace
