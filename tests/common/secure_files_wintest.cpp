// The program's data folders and files against Wine's file system, which
// shows hard links for real; what Wine does not keep (owners, access lists)
// comes from the seam, as Windows would report it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "app/service_control.h"
#include "common/secure_files.h"
#include "support/win_test_support.h"

namespace {

std::wstring NewFolder() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    const std::wstring folder = std::wstring(base) + L"vantrel-files-" +
                                std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(GetTickCount64());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void WriteText(const std::wstring& path, const char* text) {
    const UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(file.Get(), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}

// Of a small file; -1 when there is none.
long SizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ? data.nFileSizeLow
                                                                            : -1;
}

// A user who could lay a hard link named like a log would have the service
// append to, or rotate, the file it leads to.
TEST(SecureFilesTest, AHardLinkIsNeitherWrittenNorRotated) {
    const std::wstring folder = NewFolder();
    const std::wstring victim = folder + L"\\victim.txt";
    const std::wstring log = folder + L"\\bridge.log";
    WriteText(victim, "precious");
    ASSERT_TRUE(CreateHardLinkW(log.c_str(), victim.c_str(), nullptr));
    DWORD error = ERROR_SUCCESS;
    std::wstring problem;
    EXPECT_FALSE(OpenDataFile(log, FILE_APPEND_DATA, FILE_SHARE_READ, error, &problem).IsOpen());
    EXPECT_EQ(error, kLinkRefusedError);
    EXPECT_NE(problem.find(L"2 hard links"), std::wstring::npos);

    // The plain file goes on as NAME.1 only while NAME.1 is plain too.
    const std::wstring plain = folder + L"\\plain.log";
    WriteText(plain, "a log");
    ASSERT_TRUE(CreateHardLinkW((plain + L".1").c_str(), victim.c_str(), nullptr));
    EXPECT_EQ(RotateDataFile(plain, 3), kLinkRefusedError);
    EXPECT_EQ(SizeOf(plain), 5);
    EXPECT_EQ(SizeOf(plain + L".2"), -1);
    DeleteFileW((plain + L".1").c_str());
    EXPECT_EQ(RotateDataFile(plain, 3), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(SizeOf(plain + L".1"), 5);
    EXPECT_EQ(SizeOf(victim), 8);
}

// What Windows would report of a place, for the seam.
ObjectSecurity Reported;
int Reads = 0;
bool ReadReported(const std::wstring&, ObjectSecurity& security, DWORD&) {
    ++Reads;
    security = Reported;
    return true;
}

// What Windows would report of every place, while it lives.
struct ReportedSecurity {
    explicit ReportedSecurity(ObjectSecurity place) : saved(Security) {
        Reported = std::move(place);
        Reads = 0;
        Security.read = ReadReported;
    }
    ~ReportedSecurity() { Security = saved; }
    SecurityCalls saved;
};

TEST(SecureFilesTest, AFolderAUserMadeIsNotUsedAndOneOfTheirsIsMadeAndUsed) {
    const std::wstring root = NewFolder();
    {
        const ReportedSecurity userMade({false, Account::Other, true, {}});
        EXPECT_EQ(PrepareDataFolder(root, root + L"\\Vantrel"),
                  L"The folder " + root +
                      L"\\Vantrel is not used: it is owned by another account, not by SYSTEM or "
                      L"Administrators.");
    }
    const ReportedSecurity protectedFolder({false, Account::Administrators, true, {}});
    EXPECT_EQ(PrepareDataFolder(root, root + L"\\Vantrel\\lab"), L"");
    EXPECT_NE(GetFileAttributesW((root + L"\\Vantrel\\lab").c_str()), INVALID_FILE_ATTRIBUTES);
}

// C:\Vantrel inherits from C:\ that Authenticated Users may modify: the
// service would run whatever any of them put there.
TEST(SecureFilesTest, InstallServiceRefusesAProgramFolderUsersMayChange) {
    const ReportedSecurity inherited(
        {false, Account::Administrators, true, {{true, Account::AuthenticatedUsers, 0x1301BF}}});
    test_support::MessageBoxRecorder boxes;  // where the refusal goes without a console
    EXPECT_EQ(InstallService(), 1);
    EXPECT_GT(Reads, 0) << "refused before the folder was looked at";
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    EXPECT_FALSE(UniqueServiceHandle(OpenServiceW(manager.Get(), L"Vantrel", SERVICE_QUERY_STATUS))
                     .IsOpen());
}

}  // namespace
