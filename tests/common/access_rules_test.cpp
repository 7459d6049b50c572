#include "common/access_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// Access masks as Windows keeps them for files and folders.
constexpr std::uint32_t kFull = 0x1F01FF;
constexpr std::uint32_t kModify = 0x1301BF;
const std::vector<AccessEntry> kInstalled = {{true, Account::System, kFull},
                                             {true, Account::Administrators, kFull},
                                             {true, Account::Users, 0x1200A9}};

ObjectSecurity Owned(Account owner, std::vector<AccessEntry> entries = kInstalled) {
    return {false, owner, true, std::move(entries)};
}

ObjectSecurity Link() {
    return {true, Account::Administrators, true, kInstalled};
}

// What Windows would show of a place, and a part of the reason it is
// refused (empty: only trusted accounts may change it).
TEST(AccessRules, OnlySystemAdministratorsTrustedInstallerAndItselfMayChangeAPlace) {
    const struct {
        ObjectSecurity place;
        bool refuseReparsePoint;
        std::wstring reason;
    } rows[] = {
        {Owned(Account::Administrators), true, L""},
        {Owned(Account::System), true, L""},
        // Under Wine, and a desk window's own folder: the account itself.
        {Owned(Account::Self), true, L""},
        {Owned(Account::TrustedInstaller, {{true, Account::Everyone, 0x1200A9}}), false, L""},
        // A user made the folder first.
        {Owned(Account::Other), true, L"owned by another account"},
        {Owned(Account::Users), true, L"owned by Users"},
        // A program folder is judged by where its link leads.
        {Link(), true, L"reparse point"},
        {Link(), false, L""},
        {{false, Account::System, false, {}}, true, L"no access list"},
        // ProgramData's default: Users may add files and folders.
        {Owned(Account::System, {{true, Account::Users, 0x0004}}), true, L"lets Users"},
        // What C:\Vantrel inherits from C:\.
        {Owned(Account::System, {{true, Account::AuthenticatedUsers, kModify}}), false,
         L"lets Authenticated Users"},
        {Owned(Account::System, {{true, Account::Everyone, 0x40000000}}), true, L"lets Everyone"},
        {Owned(Account::System, {{true, Account::Interactive, 0x40000}}), true,
         L"lets INTERACTIVE"},
        {Owned(Account::System, {{true, Account::Other, 0x0002}}), true, L"lets another account"},
        {Owned(Account::System, {{true, Account::Users, 0x10000}}), true, L"lets Users"},
        // A deny entry takes nothing back from an allow entry.
        {Owned(Account::System, {{false, Account::Users, kFull}, {true, Account::Users, kModify}}),
         true, L"lets Users"},
        {Owned(Account::System, {{false, Account::Everyone, kFull}}), true, L""},
        // Program Files: CREATOR OWNER in full, for what administrators add.
        {Owned(Account::TrustedInstaller, {{true, Account::CreatorOwner, 0x10000000}}), false, L""},
    };
    for (const auto& row : rows) {
        const std::wstring reason = UntrustedReason(row.place, row.refuseReparsePoint);
        EXPECT_TRUE(row.reason.empty() ? reason.empty() : reason.find(row.reason) != reason.npos)
            << reason << L" / " << row.reason;
    }
    EXPECT_EQ(OpenedFileProblem(false, 1), L"");
    EXPECT_NE(OpenedFileProblem(true, 1).find(L"reparse point"), std::wstring::npos);
    EXPECT_NE(OpenedFileProblem(false, 2).find(L"2 hard links"), std::wstring::npos);
}

TEST(AccessRules, TheServiceTracesOnlyIntoItsOwnFolderByAWholePath) {
    const struct {
        std::wstring path;
        std::wstring reason;
    } rows[] = {
        {L"C:\\ProgramData\\Vantrel\\trace.txt", L""},
        {L"c:\\programdata\\vantrel\\lab\\trace.txt", L""},
        {L"trace.txt", L"not a whole path"},
        {L"C:trace.txt", L"not a whole path"},
        {L"\\trace.txt", L"not a whole path"},
        {L"C:\\Users\\Public\\trace.txt", L"only into files inside"},
        {L"\\\\server\\share\\trace.txt", L"only into files inside"},
        {L"C:\\ProgramData\\VantrelX\\trace.txt", L"only into files inside"},
        {L"C:\\ProgramData\\Vantrel", L"only into files inside"},
        {L"C:\\ProgramData\\Vantrel\\..\\trace.txt", L"only into files inside"},
        {L"C:\\ProgramData\\Vantrel\\trace.txt:hidden", L"only into files inside"},
        {L"C:\\ProgramData\\Vantrel/../trace.txt", L"only into files inside"},
    };
    for (const auto& row : rows) {
        const std::wstring reason = ServiceTracePathProblem(row.path, L"C:\\ProgramData\\Vantrel");
        EXPECT_TRUE(row.reason.empty() ? reason.empty() : reason.find(row.reason) != reason.npos)
            << row.path;
    }
}

}  // namespace
