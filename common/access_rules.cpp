#include "common/access_rules.h"

#include "common/text.h"

namespace {

// The rights that change a file or folder, what it holds or who may do so
// ("File Security and Access Rights", "Standard Access Rights" and "Generic
// Access Rights" in Microsoft's documentation): write data or add a file,
// append or add a folder, write extended attributes, delete a child, write
// attributes, delete, write the access list, take ownership, and the generic
// write and all.
constexpr std::uint32_t kWriteRights = 0x0002 | 0x0004 | 0x0010 | 0x0040 | 0x0100 | 0x00010000 |
                                       0x00040000 | 0x00080000 | 0x40000000 | 0x10000000;

bool IsTrusted(Account account) {
    return account == Account::System || account == Account::Administrators ||
           account == Account::TrustedInstaller || account == Account::Self;
}

bool IsLetter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

}  // namespace

const wchar_t* AccountName(Account account) {
    switch (account) {
        case Account::System:
            return L"SYSTEM";
        case Account::Administrators:
            return L"Administrators";
        case Account::TrustedInstaller:
            return L"TrustedInstaller";
        case Account::Self:
            return L"this account";
        case Account::CreatorOwner:
            return L"CREATOR OWNER";
        case Account::Users:
            return L"Users";
        case Account::AuthenticatedUsers:
            return L"Authenticated Users";
        case Account::Everyone:
            return L"Everyone";
        case Account::Interactive:
            return L"INTERACTIVE";
        case Account::Other:
            break;
    }
    return L"another account";
}

std::wstring UntrustedReason(const ObjectSecurity& place, bool refuseReparsePoint) {
    if (refuseReparsePoint && place.reparsePoint) {
        return L"it is a reparse point (a link to somewhere else)";
    }
    if (!IsTrusted(place.owner)) {
        return std::wstring(L"it is owned by ") + AccountName(place.owner) +
               L", not by SYSTEM or Administrators";
    }
    if (!place.hasAccessList) {
        return L"it has no access list, so everyone may change it";
    }
    // Deny entries do not count: what one allow entry gives is refused even
    // when a deny entry takes part of it back, a case no installation makes.
    // An entry for CREATOR OWNER gives only whoever made a child what that
    // account could already make, and the entries for that are judged here.
    for (const AccessEntry& entry : place.entries) {
        if (entry.allows && (entry.rights & kWriteRights) != 0 && !IsTrusted(entry.account) &&
            entry.account != Account::CreatorOwner) {
            return std::wstring(L"it lets ") + AccountName(entry.account) + L" change it";
        }
    }
    return {};
}

std::wstring OpenedFileProblem(bool reparsePoint, std::uint32_t links) {
    if (reparsePoint) {
        return L"it is a reparse point (a link to another file)";
    }
    if (links > 1) {
        return L"it has " + std::to_wstring(links) + L" hard links: it is also another file";
    }
    return {};
}

bool IsAbsolutePath(const std::wstring& path) {
    if (path.size() >= 3 && IsLetter(path[0]) && path[1] == L':' && IsSeparator(path[2])) {
        return true;
    }
    return path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

std::wstring ServiceTracePathProblem(const std::wstring& path, const std::wstring& folder) {
    if (!IsAbsolutePath(path)) {
        return L"the trace file \"" + path +
               L"\" is not a whole path; give one that begins with the drive, as " + folder +
               L"\\trace.txt";
    }
    const std::wstring prefix = UpperCase(folder) + L"\\";
    const std::wstring upper = UpperCase(path);
    // No "..", no alternate stream, no name that would climb out of the folder.
    const bool inside =
        upper.size() > prefix.size() && upper.compare(0, prefix.size(), prefix) == 0 &&
        upper.find(L"\\..", prefix.size() - 1) == std::wstring::npos &&
        upper.find(L'/') == std::wstring::npos && upper.find(L':', 2) == std::wstring::npos;
    if (!inside) {
        return L"the service traces only into files inside " + folder + L", not to " + path;
    }
    return {};
}
