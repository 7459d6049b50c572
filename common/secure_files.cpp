#include "common/secure_files.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <string>

#include "common/system_text.h"

namespace {

using UniqueLocal = UniqueResource<HLOCAL, NullValue<HLOCAL>, LocalFree>;

// The service "TrustedInstaller" (NT SERVICE\TrustedInstaller), which owns
// what Windows itself installs.
constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buffer;
    return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

bool IsSelf(PSID sid) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return false;
    }
    const UniqueKernelHandle token(raw);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &size) &&
           EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

Account AccountOf(PSID sid) {
    const struct {
        WELL_KNOWN_SID_TYPE type;
        Account account;
    } known[] = {
        {WinLocalSystemSid, Account::System},
        {WinBuiltinAdministratorsSid, Account::Administrators},
        {WinCreatorOwnerSid, Account::CreatorOwner},
        {WinBuiltinUsersSid, Account::Users},
        {WinAuthenticatedUserSid, Account::AuthenticatedUsers},
        {WinWorldSid, Account::Everyone},
        {WinInteractiveSid, Account::Interactive},
    };
    for (const auto& entry : known) {
        if (IsWellKnown(sid, entry.type)) {
            return entry.account;
        }
    }
    PSID installer = nullptr;
    if (ConvertStringSidToSidW(kTrustedInstallerSid, &installer)) {
        const UniqueLocal owned(installer);
        if (EqualSid(sid, installer)) {
            return Account::TrustedInstaller;
        }
    }
    return IsSelf(sid) ? Account::Self : Account::Other;
}

// "Security Descriptors for Files" / GetNamedSecurityInfoW: the owner and
// the DACL as Windows keeps them; a null DACL grants everyone everything.
bool ReadFromWindows(const std::wstring& path, ObjectSecurity& security, DWORD& error) {
    // Of the link itself, not of what it points to.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = GetLastError();
        return false;
    }
    security = {};
    security.reparsePoint = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    PSID owner = nullptr;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                  nullptr, &list, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        return false;
    }
    const UniqueLocal owned(descriptor);
    security.owner = owner != nullptr ? AccountOf(owner) : Account::Other;
    security.hasAccessList = list != nullptr;
    for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(list, i, &ace)) {
            continue;
        }
        const auto* header = static_cast<ACE_HEADER*>(ace);
        // Allowed and denied entries (and their callback forms) share this
        // layout; any other kind is taken as giving an unknown account all.
        const BYTE type = header->AceType;
        if (type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE ||
            type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_ACE_TYPE) {
            const auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            security.entries.push_back(
                {type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE,
                 AccountOf(const_cast<DWORD*>(&entry->SidStart)), entry->Mask});
        } else if (type != SYSTEM_AUDIT_ACE_TYPE && type != SYSTEM_ALARM_ACE_TYPE) {
            security.entries.push_back({true, Account::Other, GENERIC_ALL});
        }
    }
    return true;
}

// "error 5, Access is denied", to go inside a sentence.
std::wstring SystemErrorText(DWORD error) {
    wchar_t text[512];
    FormatSystemText(error, kNeutralLanguage, true, text, 512);
    std::wstring reason(text);
    while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' ||
                               reason.back() == L'.' || reason.back() == L' ')) {
        reason.pop_back();
    }
    return L"error " + std::to_wstring(error) + L", " + reason;
}

std::wstring KnownFolder(REFKNOWNFOLDERID id) {
    PWSTR folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &folder))) {
        path = folder;
    }
    CoTaskMemFree(folder);
    return path;
}

std::wstring ParentOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// A file as it is, not followed: a reparse point or one with another name.
// (Asked as two classes of information, which Wine gives for devices too.)
std::wstring FileProblem(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO kind{};
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &kind, sizeof kind) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
        return L"its kind cannot be read (" + SystemErrorText(GetLastError()) + L")";
    }
    return OpenedFileProblem((kind.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
                             standard.NumberOfLinks);
}

}  // namespace

SecurityCalls Security = {ReadFromWindows};

std::wstring ProgramDataRoot() {
    return KnownFolder(FOLDERID_ProgramData);
}

std::wstring ServiceDataFolder() {
    return ProgramDataRoot() + L"\\Vantrel";
}

std::wstring DeskDataRoot() {
    return KnownFolder(FOLDERID_LocalAppData);
}

std::wstring DeskDataFolder() {
    return DeskDataRoot() + L"\\Vantrel";
}

std::wstring PlaceProblem(const std::wstring& place, bool refuseReparsePoint) {
    ObjectSecurity security;
    DWORD error = ERROR_SUCCESS;
    if (!Security.read(place, security, error)) {
        return L"its owner and access list cannot be read (" + SystemErrorText(error) + L")";
    }
    return UntrustedReason(security, refuseReparsePoint);
}

std::wstring PrepareDataFolder(const std::wstring& root, const std::wstring& folder,
                               FolderMaking making) {
    if (root.empty() || folder.size() <= root.size() + 1) {
        return L"The folder " + folder + L" is not used: where it lies is not known.";
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kDataFolderSddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return L"The folder " + folder + L" is not used: its access list cannot be made (" +
               SystemErrorText(GetLastError()) + L").";
    }
    const UniqueLocal owned(descriptor);
    SECURITY_ATTRIBUTES protectedFolder = {sizeof protectedFolder, descriptor, FALSE};
    SECURITY_ATTRIBUTES* attributes =
        making == FolderMaking::Protected ? &protectedFolder : nullptr;
    // Each folder below root, outermost first: a link anywhere on the way
    // would take the writes elsewhere.
    for (std::size_t end = folder.find(L'\\', root.size() + 1);;
         end = folder.find(L'\\', end + 1)) {
        const std::wstring step = folder.substr(0, end);
        if (!CreateDirectoryW(step.c_str(), attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return L"The folder " + step + L" is not used: it cannot be made (" +
                   SystemErrorText(GetLastError()) + L").";
        }
        if (const std::wstring problem = PlaceProblem(step, true); !problem.empty()) {
            return L"The folder " + step + L" is not used: " + problem + L".";
        }
        if (end == std::wstring::npos) {
            return {};
        }
    }
}

UniqueFile OpenDataFile(const std::wstring& path, DWORD access, DWORD share, DWORD& error,
                        std::wstring* problem) {
    // Wine reports a folder's link only by its path, not through a handle.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    std::wstring refusal;
    UniqueFile file;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        refusal = OpenedFileProblem(true, 1);
    } else {
        file =
            UniqueFile(CreateFileW(path.c_str(), access, share, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.IsOpen()) {
            error = GetLastError();
            if (problem != nullptr) {
                *problem = SystemErrorText(error);
            }
            return file;
        }
        refusal = FileProblem(file.Get());
    }
    if (!refusal.empty()) {
        file.Reset();
        error = kLinkRefusedError;
        if (problem != nullptr) {
            *problem = refusal;
        }
        return file;
    }
    error = ERROR_SUCCESS;
    return file;
}

DWORD RotateDataFile(const std::wstring& path, int kept) {
    const DWORD folder = GetFileAttributesW(ParentOf(path).c_str());
    if (folder == INVALID_FILE_ATTRIBUTES || (folder & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return kLinkRefusedError;
    }
    const auto name = [&](int n) { return n == 0 ? path : path + L"." + std::to_wstring(n); };
    for (int n = 0; n < kept; ++n) {
        const UniqueFile file(CreateFileW(name(n).c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
        const DWORD attributes = GetFileAttributesW(name(n).c_str());
        if ((file.IsOpen() && !FileProblem(file.Get()).empty()) ||
            (attributes != INVALID_FILE_ATTRIBUTES &&
             (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
            return kLinkRefusedError;
        }
    }
    for (int n = kept; n > 0; --n) {
        MoveFileExW(name(n - 1).c_str(), name(n).c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    return ERROR_SUCCESS;
}
