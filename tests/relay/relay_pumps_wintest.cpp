// The relay threads against real pipes under Wine. A message-mode pipe
// stands in for the COM port where chunk boundaries matter: each write to it
// arrives as one message.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/settings_record.h"
#include "pipe/pipe_client.h"
#include "relay/link_recovery.h"
#include "relay/relay_pumps.h"
#include "serial/serial_port.h"
#include "support/serial_driver_model.h"
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

// Relays that are not stopped run on; each test gives them a record of its own
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
    ASSERT_TRUE(StartRelayPump(*context, PipeToSerialPump));

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
    TestPipeServer device(UniquePipeName(L"relay-full-device"));
    const HANDLE pipe = OpenEnd(vm.Path());
    const HANDLE serial = OpenEnd(device.Path());
    ASSERT_TRUE(vm.WaitForClient() && device.WaitForClient());
    RelayContextRecord* context = NewContext(pipe, serial);

    const std::string sent = RandomBytes(2000, 11);
    const RelayIoCalls saved = RelayIo;
    RelayIo.write = CountWaitingWrites;
    waitingWrites.store(0);
    ASSERT_TRUE(StartRelayPump(*context, SerialToPipePump));
    ASSERT_TRUE(device.Write(sent));
    // The virtual machine is slow to read at first.
    Sleep(300);
    const std::string received = vm.ReadExactly(sent.size(), 30000);
    ASSERT_TRUE(StopRelay(*context, 10000));
    RelayIo = saved;
    EXPECT_GT(waitingWrites.load(), 0) << "the pipe was full at times";
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_EQ(received, sent);
    EXPECT_EQ(Counted(*context, VirtualSent), 2000u);
}

TEST_F(RelayTest, BytesForAPipeThatIsAwayAreDroppedAndNotCounted) {
    for (const PumpDirection direction : {PipeToSerialPump, SerialToPipePump}) {
        TestPipeServer source(UniquePipeName(L"relay-away"));
        const HANDLE present = OpenEnd(source.Path());
        ASSERT_TRUE(source.WaitForClient());
        const bool fromPipe = direction == PipeToSerialPump;
        RelayContextRecord* context = fromPipe ? NewContext(present, INVALID_HANDLE_VALUE)
                                               : NewContext(INVALID_HANDLE_VALUE, present);
        ASSERT_TRUE(StartRelayPump(*context, direction));
        ASSERT_TRUE(source.Write(std::string(10, '\0')));
        EXPECT_TRUE(test_support::PumpUntil(
            [&] { return Counted(*context, fromPipe ? VirtualReceived : SerialReceived) == 10; }));
        ASSERT_TRUE(StopRelay(*context, 10000));
        EXPECT_EQ(Counted(*context, VirtualSent), 0u);
        EXPECT_EQ(Counted(*context, SerialSent), 0u);
    }
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
    ASSERT_TRUE(StartRelayPump(*context, PipeToSerialPump));

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

int ThreadsOfThisProcess() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

// A COM port's driver that does not answer the line set-up of an open.
UniqueKernelHandle openStuck{NewEvent(true)}, openAnswers{NewEvent(true)};
BOOL WINAPI StuckGetState(HANDLE, LPDCB) {
    SetEvent(openStuck.Get());
    WaitForSingleObject(openAnswers.Get(), INFINITE);
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}

// Bridges share the process's threads: a virtual machine that reads nothing,
// or a COM port whose open hangs, holds up its own bridge only, and a bridge
// stopped while others run leaves
// them running. A pipe stands in for each COM port.
TEST_F(RelayTest, BridgesShareTheThreadsAndHoldUpOrStopOnlyThemselves) {
    struct Bridge {
        std::unique_ptr<TestPipeServer> vm, device;
        RelayContextRecord* context;
    };
    constexpr int kBridges = 6;
    const int threadsBefore = ThreadsOfThisProcess();
    std::vector<Bridge> bridges;
    for (int i = 0; i < kBridges; ++i) {
        // The first VM's pipe holds less than a chunk.
        Bridge bridge{
            std::make_unique<TestPipeServer>(UniquePipeName(L"pool-vm"), i == 0 ? 4 : 4096),
            std::make_unique<TestPipeServer>(UniquePipeName(L"pool-device")), nullptr};
        const HANDLE pipe = OpenEnd(bridge.vm->Path());
        const HANDLE serial = OpenEnd(bridge.device->Path());
        ASSERT_TRUE(bridge.vm->WaitForClient() && bridge.device->WaitForClient());
        bridge.context = NewContext(pipe, serial);
        ASSERT_TRUE(StartRelayPump(*bridge.context, PipeToSerialPump));
        ASSERT_TRUE(StartRelayPump(*bridge.context, SerialToPipePump));
        bridges.push_back(std::move(bridge));
    }
    EXPECT_LT(ThreadsOfThisProcess() - threadsBefore, kBridges) << "no threads of a bridge's own";
    const std::wstring comPort = test_support::TestComPort();
    ASSERT_FALSE(comPort.empty()) << "needs the runner's pty-backed COM port";
    const SerialSetupCalls setup = SerialSetup;
    SerialSetup.getState = StuckGetState;
    RelayContextRecord* stuck = NewContext(INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE);
    SetSerialPortName(stuck->linkSettings, comPort.c_str());
    SetPipeName(stuck->linkSettings, UniquePipeName(L"pool-absent").c_str());
    ASSERT_TRUE(StartLinkKeepers(*stuck));
    OpenEndsUnattended(*stuck);
    ASSERT_EQ(WaitForSingleObject(openStuck.Get(), 20000), WAIT_OBJECT_0);

    const std::string held = RandomBytes(3000, 17);
    ASSERT_TRUE(bridges[0].device->Write(held));
    auto bothWays = [&](int from, unsigned seed) {
        for (int i = from; i < kBridges; ++i) {
            const std::string up = RandomBytes(5000, seed + i), down = RandomBytes(700, seed - i);
            ASSERT_TRUE(bridges[i].device->Write(up) && bridges[i].vm->Write(down));
            EXPECT_EQ(bridges[i].vm->ReadExactly(up.size()), up) << "bridge " << i;
            EXPECT_EQ(bridges[i].device->ReadExactly(down.size()), down) << "bridge " << i;
        }
    };
    bothWays(1, 100);
    SetEvent(openAnswers.Get());
    SerialSetup = setup;
    EXPECT_TRUE(StopRelay(*stuck, 10000));
    ASSERT_TRUE(StopRelay(*bridges[1].context, 10000));
    bothWays(2, 200);
    EXPECT_EQ(bridges[0].vm->ReadExactly(held.size()), held);
    for (int i = 0; i < kBridges; ++i) {
        EXPECT_TRUE(StopRelay(*bridges[i].context, 10000)) << "bridge " << i;
    }
}

// Over a model of Windows' serial drivers: the relay with a stand-in VM on
// its pipe and the model as its COM port, stopped at the end of each test.
class OverTheDriverModel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(RegisterPipeEventSource());
        const HANDLE pipe = OpenEnd(vm_.Path());
        ASSERT_TRUE(vm_.WaitForClient());
        context_ = NewContext(pipe, driver_.Port());
        context_->status.view = &view_;
        SetSerialPortName(context_->linkSettings, L"COM250");
    }
    void TearDown() override {
        ASSERT_TRUE(StopRelay(*context_, 10000));
        ReplaceLinkHandle(context_->pipe, INVALID_HANDLE_VALUE);
    }
    void Start(bool keepers = false) {
        ASSERT_TRUE(!keepers || StartLinkKeepers(*context_));
        ASSERT_TRUE(StartRelayPump(*context_, SerialToPipePump));
        ASSERT_TRUE(StartRelayPump(*context_, PipeToSerialPump));
    }
    std::wstring Messages() {
        AcquireSRWLockShared(&view_.lock);
        std::wstring messages = view_.messages;
        ReleaseSRWLockShared(&view_.lock);
        return messages;
    }
    std::size_t Count(const std::wstring& text) {
        const std::wstring messages = Messages();
        std::size_t count = 0;
        for (auto at = messages.find(text); at != std::wstring::npos;
             at = messages.find(text, at + 1)) {
            ++count;
        }
        return count;
    }
    std::uint64_t Discarded(RelayDirection direction, DiscardReason reason) {
        return DiscardedCount(context_->ledger, direction, reason);
    }

    test_support::SerialDriverModel driver_;
    TestPipeServer vm_{UniquePipeName(L"model-vm")};
    ViewState view_;
    RelayContextRecord* context_ = nullptr;
};

TEST_F(OverTheDriverModel, ABurstSignalledOnceIsReadWhole) {
    Start();
    const std::string burst = RandomBytes(6000, 3);
    driver_.Receive(burst);
    EXPECT_EQ(vm_.ReadExactly(burst.size()), burst);
}

std::atomic<DWORD> modemWord{0};
BOOL WINAPI ModemWord(HANDLE, LPDWORD status) {
    *status = modemWord.load();
    return TRUE;
}

TEST_F(OverTheDriverModel, WhatTheDriverSignalsIsReadAndLookedAt) {
    const auto savedLines = ModemStatusSource;
    ModemStatusSource = ModemWord;
    modemWord = 0;
    Start();
    driver_.Receive("signalled");
    EXPECT_EQ(vm_.ReadExactly(9), "signalled");
    modemWord = MS_DSR_ON;
    driver_.Raise(EV_DSR);
    EXPECT_TRUE(test_support::PumpUntil([&] { return Count(L"Serial port ready (DSR on)") == 1; }))
        << Messages();
    ModemStatusSource = savedLines;
    AcquireSRWLockShared(&view_.lock);
    EXPECT_TRUE(view_.dataSet) << "DSR looked at on the driver's word";
    ReleaseSRWLockShared(&view_.lock);
}

TEST_F(OverTheDriverModel, ALineErrorIsClearedCountedAndLoggedOnceAndBytesFlowOn) {
    Start();
    driver_.Receive("before");
    EXPECT_EQ(vm_.ReadExactly(6), "before");
    driver_.LineError(CE_FRAME);
    EXPECT_TRUE(
        test_support::PumpUntil([&] { return context_->lineErrors.total[Framing].load() == 1; }));
    driver_.Receive("after");
    EXPECT_EQ(vm_.ReadExactly(5), "after");
    EXPECT_EQ(Count(L"Serial line errors: 1 framing error\r\n"), 1u) << Messages();
    EXPECT_FALSE(IsEndAway(*context_, LinkSide::Serial));
}

TEST_F(OverTheDriverModel, AFullOutputQueueTakesPartAndTheRestFollows) {
    driver_.LimitWrites({1000, 0, 500});
    const std::string chunk = RandomBytes(3000, 5);
    Start();
    ASSERT_TRUE(vm_.Write(chunk));
    test_support::PumpUntil([&] { return driver_.Written().size() >= chunk.size(); });
    EXPECT_EQ(driver_.Written(), chunk);
    EXPECT_EQ(Counted(*context_, SerialSent), 3000u);
}

TEST_F(OverTheDriverModel, ARemovedAdapterIsReportedLost) {
    Start(true);
    driver_.Remove();
    EXPECT_TRUE(test_support::PumpUntil([&] { return Count(L"Serial port COM250 lost") == 1; }))
        << Messages();
    EXPECT_TRUE(IsEndAway(*context_, LinkSide::Serial));
}

// Every byte read and not written is counted with its reason, and said once.
TEST_F(OverTheDriverModel, EachDiscardIsCountedByReasonAndLoggedOnceWhenNotZero) {
    const std::string chunk(100, 'x');
    driver_.FailWrites(ERROR_GEN_FAILURE);
    Start();
    ASSERT_TRUE(vm_.Write(chunk));
    // The entry follows the count.
    EXPECT_TRUE(test_support::PumpUntil([&] {
        return Count(L"100 bytes from the pipe were discarded: the serial port refused them") == 1;
    }));
    EXPECT_EQ(Discarded(RelayDirection::FromPipe, DiscardReason::WriteFailed), 100u);

    // The device takes nothing until the relay stops.
    driver_.FailWrites(ERROR_SUCCESS);
    driver_.LimitWrites(std::deque<std::size_t>(100000, 0));
    ASSERT_TRUE(vm_.Write(chunk));
    EXPECT_TRUE(
        test_support::PumpUntil([&] { return Counted(*context_, VirtualReceived) == 200; }));
    ASSERT_TRUE(StopRelay(*context_, 10000));
    EXPECT_EQ(Discarded(RelayDirection::FromPipe, DiscardReason::Stopped), 100u);
    EXPECT_EQ(Count(L"100 bytes from the pipe were discarded when the relay stopped"), 1u);
    ASSERT_TRUE(StopRelay(*context_, 10000));
    EXPECT_EQ(Count(L"discarded"), 2u) << "nothing said twice, no 0 bytes: " << Messages();
    // Counted as the keeper brought the port back: said at once.
    context_->serialKeeper.context = context_;
    NoteDiscardedWhileAway(*context_, LinkSide::Serial, 40);
    EXPECT_EQ(Count(L"40 bytes from the pipe were discarded while the serial port was away"), 1u);
}

}  // namespace
