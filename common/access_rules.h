// Whom the service trusts with the places it writes to and runs from: the
// decision, apart from how Windows is asked (common/secure_files.h), so that
// every case can be tried without a Windows that keeps access lists.
// Platform-free.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The accounts an access list names, as far as the decision tells them
// apart. Self is the account this process runs as (SYSTEM for the service).
enum class Account {
    System,
    Administrators,
    TrustedInstaller,
    Self,
    CreatorOwner,
    Users,
    AuthenticatedUsers,
    Everyone,
    Interactive,
    Other,
};

// One entry of a folder's or file's access list.
struct AccessEntry {
    bool allows;  // else it denies
    Account account;
    std::uint32_t rights;  // the access mask, as Windows keeps it
};

// What Windows says of a folder or file.
struct ObjectSecurity {
    bool reparsePoint = false;
    Account owner = Account::Other;
    bool hasAccessList = true;  // false: a NULL DACL, which lets everyone do everything
    std::vector<AccessEntry> entries;
};

// Why nobody but SYSTEM, Administrators, TrustedInstaller and this process's
// own account can change what is at place, or empty when so. A reparse point
// is refused when refuseReparsePoint: a folder the service writes in must be
// where it seems.
std::wstring UntrustedReason(const ObjectSecurity& place, bool refuseReparsePoint);

// Why a log or trace file, as opened, may not be written; empty when it may.
// A link of any kind could point the service's writes at another file.
std::wstring OpenedFileProblem(bool reparsePoint, std::uint32_t links);

// "C:\..." or "\\server\share\...": a path that means the same to every
// process, whatever its current folder.
bool IsAbsolutePath(const std::wstring& path);
// Why the service may not trace to path; empty when path lies inside folder.
std::wstring ServiceTracePathProblem(const std::wstring& path, const std::wstring& folder);

// The account as the texts name it.
const wchar_t* AccountName(Account account);
