// The pipe client against a stand-in server in this process. Wine keeps no
// event log that can be read back, so the records are taken at the call.
// Under Wine every token read from outside looks like an administrator's: who
// serves a pipe is told through the seam. Also the service's pipe's client.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/connect.h"
#include "app/service.h"
#include "app/service_pipe_client.h"
#include "config/settings_record.h"
#include "pipe/pipe_client.h"
#include "pipe/pipe_server.h"
#include "common/event_log.h"
#include "common/status_client.h"
#include "common/handles.h"
#include "relay/link_recovery.h"
#include "support/test_pipe_server.h"
#include "support/win_test_support.h"

using test_support::TestPipeServer;
using test_support::UniquePipeName;

namespace {

struct CapturedRecord {
    WORD type;
    WORD category;
    DWORD id;
    std::vector<unsigned char> raw;
    WORD stringCount;
    std::vector<std::wstring> inserts;
};
std::vector<CapturedRecord> records;

BOOL WINAPI CaptureEvent(HANDLE, WORD type, WORD category, DWORD id, PSID, WORD strings, DWORD size,
                         LPCWSTR* texts, LPVOID raw) {
    const auto* bytes = static_cast<const unsigned char*>(raw);
    records.push_back(
        {type, category, id, {bytes, bytes + size}, strings, {texts, texts + strings}});
    return TRUE;
}

std::vector<unsigned char> Utf16LeWithNul(const char* ascii) {
    std::vector<unsigned char> bytes;
    do {
        bytes.push_back(static_cast<unsigned char>(*ascii));
        bytes.push_back(0);
    } while (*ascii++ != '\0');
    return bytes;
}

class PipeClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = EventLog;
        EventLog.reportEvent = CaptureEvent;
        records.clear();
        ApplyDefaultSettings(test_support::DeskSettings());
    }
    void TearDown() override {
        if (client_ != INVALID_HANDLE_VALUE) {
            CloseHandle(client_);
        }
        EventLog = saved_;
    }
    HANDLE client_ = INVALID_HANDLE_VALUE;
    test_support::MessageBoxRecorder boxes_;

private:
    EventLogCalls saved_{};
};

TEST_F(PipeClientTest, ConnectsForOverlappedReadsInByteModeAndRecordsSuccess) {
    const std::wstring name = UniquePipeName(L"vantrel-pipe");
    TestPipeServer server(name);
    SetPipeName(test_support::DeskSettings(), name.c_str());
    client_ = ConnectPipe(test_support::DeskBridge());
    ASSERT_NE(client_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(server.WaitForClient());
    EXPECT_TRUE(boxes_.Boxes().empty());

    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(records[0].category, 3);
    EXPECT_EQ(records[0].id, 0xC0020100u);
    EXPECT_EQ(records[0].stringCount, 0);
    EXPECT_EQ(records[0].raw, Utf16LeWithNul("Pipe creation SUCCESS"));

    // Nothing there yet: the read stays pending until the server writes.
    char buffer[100];
    DWORD read = 0;
    OVERLAPPED overlapped{};
    const UniqueKernelHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    overlapped.hEvent = done.Get();
    EXPECT_FALSE(ReadFile(client_, buffer, sizeof buffer, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    ASSERT_TRUE(server.Write(std::string("\x00\xFFhello", 7)));
    ASSERT_EQ(WaitForSingleObject(done.Get(), 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(client_, &overlapped, &read, FALSE));
    EXPECT_EQ(std::string(buffer, read), std::string("\x00\xFFhello", 7));
}

TEST_F(PipeClientTest, LongAndNonAsciiNamesAreFoundWhole) {
    // Longer than the 21 characters an 8-bit copy of the path once allowed,
    // and with characters outside ASCII.
    for (const std::wstring& stem : {std::wstring(40, L'L'), std::wstring(L"Prüfstand-Δ-虚拟机")}) {
        const std::wstring name = UniquePipeName(stem.c_str());
        TestPipeServer server(name);
        SetPipeName(test_support::DeskSettings(), name.c_str());
        const HANDLE client = ConnectPipe(test_support::DeskBridge());
        EXPECT_NE(client, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(server.WaitForClient(0));
        CloseHandle(client);
    }
}

TEST_F(PipeClientTest, APipeTakenBetweenTheWaitAndTheOpenRecordsTheFailure) {
    const std::wstring name = UniquePipeName(L"vantrel-busy");
    TestPipeServer server(name);
    // Another client takes the only instance first.
    const HANDLE other = CreateFileW(server.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    const PipeOpenOutcome outcome =
        OpenVmPipe(server.Path().c_str(), test_support::DeskBridge().status);
    EXPECT_EQ(outcome.pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_PIPE_BUSY));
    EXPECT_EQ(std::wstring(outcome.failureCaption), L"Pipe failed");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(records[0].id, 0xC0020100u);
    EXPECT_EQ(records[0].raw.size(), 42u);
    EXPECT_EQ(records[0].raw, Utf16LeWithNul("Pipe creation FAILED"));
    CloseHandle(other);
}

struct OpenArguments {
    DWORD access, share, disposition, flags;
};
std::vector<OpenArguments> opens;
HANDLE WINAPI RecordOpen(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                         DWORD disposition, DWORD flags, HANDLE model) {
    opens.push_back({access, share, disposition, flags});
    return CreateFileW(path, access, share, security, disposition, flags, model);
}

// Whatever serves the pipe may learn who connected but must not act as them:
// the open asks for identification only. (Wine does not honour the request,
// so it is checked at the call.)
TEST_F(PipeClientTest, TheOpenAsksForIdentificationOnly) {
    const std::wstring name = UniquePipeName(L"vantrel-sqos");
    TestPipeServer server(name);
    SetPipeName(test_support::DeskSettings(), name.c_str());
    opens.clear();
    OpenPipeFile = RecordOpen;
    client_ = ConnectPipe(test_support::DeskBridge());
    OpenPipeFile = CreateFileW;
    ASSERT_NE(client_, INVALID_HANDLE_VALUE);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(opens[0].share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(opens[0].disposition, static_cast<DWORD>(OPEN_EXISTING));
    // Write-through, no buffering, overlapped, normal attributes; plus the
    // quality of service.
    EXPECT_EQ(opens[0].flags, 0xE0000080u | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION);
}

// The records of a bridge of the service carry message ids of the program's
// message table, with the bridge and what happened as their inserts; the
// bridges of a status window write none.
TEST_F(PipeClientTest, ABridgeOfTheServiceRecordsWhatHappensToItsEnds) {
    StatusClient status;
    ReportBridgeEvent(status, BridgeEvent::EndLost, L"not written\r\n");
    EXPECT_TRUE(records.empty());
    status.eventName = L"lab";
    ReportBridgeEvent(status, BridgeEvent::EndLost, L"Serial port COM4 lost\r\n");
    ReportBridgeEvent(status, BridgeEvent::EndBack, L"Serial port COM4 is back\r\n");
    ReportBridgeEvent(status, BridgeEvent::SettingsError, L"Couldn't read the settings");
    ReportBridgeEvent(status, BridgeEvent::ServiceStarted, L"Bridges: lab.");
    ASSERT_EQ(records.size(), 4u);
    const struct {
        WORD type, category;
        DWORD id;
        std::vector<std::wstring> inserts;
    } expected[] = {
        {EVENTLOG_WARNING_TYPE, 2, 0x80000012, {L"lab", L"Serial port COM4 lost"}},
        {EVENTLOG_INFORMATION_TYPE, 2, 0x40000013, {L"lab", L"Serial port COM4 is back"}},
        {EVENTLOG_ERROR_TYPE, 2, 0xC0000014, {L"lab", L"Couldn't read the settings"}},
        {EVENTLOG_INFORMATION_TYPE, 1, 0x40000010, {L"Bridges: lab."}},
    };
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].type, expected[i].type) << i;
        EXPECT_EQ(records[i].category, expected[i].category) << i;
        EXPECT_EQ(records[i].id, expected[i].id) << i;
        EXPECT_EQ(records[i].inserts, expected[i].inserts) << i;
    }
}

PipeServerFacts servedBy;
PipeServerFacts TellServer(HANDLE) {
    return servedBy;
}

TEST_F(PipeClientTest, APipeNotServedByAVirtualMachineIsLetGoAndLoggedOncePerServer) {
    StatusClient status;
    ViewState view;
    status.view = &view;
    std::optional<PipeServerFacts> refused;
    const auto readServer = std::exchange(ReadPipeServer, TellServer);
    // A standard user's squatter twice, a second one, then the VM's worker process.
    const std::pair<std::uint32_t, const wchar_t*> servers[] = {{4000, L"S-1-5-21-9-1001"},
                                                                {4000, L"S-1-5-21-9-1001"},
                                                                {4001, L"S-1-5-21-9-1001"},
                                                                {4002, L"S-1-5-83-1-77"}};
    for (const auto& [process, sid] : servers) {
        servedBy = {process, true, sid, L"LAB\\eve", {}};
        TestPipeServer vm(UniquePipeName(L"vantrel-squat"));
        const PipeOpenOutcome outcome = OpenVmPipe(vm.Path().c_str(), status, &refused);
        EXPECT_EQ(outcome.serverRefused, process != 4002);
        // Let go at once: the server finds its client gone.
        EXPECT_EQ(PeekNamedPipe(vm.Handle(), nullptr, 0, nullptr, nullptr, nullptr) != FALSE,
                  process == 4002);
        CloseHandle(outcome.pipe);
    }
    ReadPipeServer = readServer;
    for (const wchar_t* process : {L"4000)", L"4001)"}) {
        const std::wstring entry = L" is served by LAB\\eve (process " + std::wstring(process);
        const std::size_t at = view.messages.find(entry);
        EXPECT_NE(at, std::wstring::npos) << view.messages;
        EXPECT_EQ(view.messages.find(entry, at + 1), std::wstring::npos) << "logged once";
    }
}

std::uint32_t ServiceIsThisProcess() {
    return GetCurrentProcessId();
}

// The service's own process that never answers is left at the deadline.
TEST(ServicePipeClient, ASilentServiceIsLeftAtTheDeadline) {
    TestPipeServer silent(std::wstring(kViewerPipePath).substr(9), 4096,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE);
    const auto serviceProcess = std::exchange(ServiceProcessId, ServiceIsThisProcess);
    std::vector<unsigned char> reply;
    EXPECT_EQ(AskTheService(MakeViewerRequest(ViewerCommand::Snapshot, L"", 0), reply),
              ServiceAnswer::Silent);
    ServiceProcessId = serviceProcess;
}

// Deny before allow, and interactive users may read and write the data of
// the service's pipe but not make instances of it.
TEST(ServicePipeClient, ThePipesSecurityDeniesFirstAndLetsUsersMakeNoInstance) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        ViewerPipeSddl().c_str(), SDDL_REVISION_1, &descriptor, nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ACCESS_ALLOWED_ACE* aces[4] = {};
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present);
    ASSERT_EQ(dacl->AceCount, 4u);
    for (DWORD i = 0; i < 4; ++i) {
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&aces[i])));
        EXPECT_EQ(aces[i]->Header.AceType,
                  i == 0 ? ACCESS_DENIED_ACE_TYPE : ACCESS_ALLOWED_ACE_TYPE);
    }
    ASSERT_TRUE(IsWellKnownSid(&aces[3]->SidStart, WinInteractiveSid));
    EXPECT_EQ(aces[3]->Mask & (FILE_CREATE_PIPE_INSTANCE | GENERIC_WRITE | GENERIC_ALL), 0u);
    EXPECT_EQ(aces[3]->Mask & (FILE_READ_DATA | FILE_WRITE_DATA), 0x3u);
    LocalFree(descriptor);
}

}  // namespace
