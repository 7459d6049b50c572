#include "pipe/pipe_server.h"

#include <sddl.h>

#include <vector>

#include "common/handles.h"

PipeServerFacts (*ReadPipeServer)(HANDLE pipe) = ReadPipeServerToken;

namespace {

std::vector<unsigned char> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<unsigned char> bytes(size);
    if (size == 0 || !GetTokenInformation(token, kind, bytes.data(), size, &size)) {
        bytes.clear();
    }
    return bytes;
}

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
        return L"";
    }
    std::wstring result(text);
    LocalFree(text);
    return result;
}

std::wstring AccountName(PSID sid, const std::wstring& sidText) {
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        return sidText;
    }
    return domainLength > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
}

}  // namespace

// A token that cannot be read leaves tokenRead false, which the rule refuses.
// The server owns its process and its token, and "the owner of an object can
// always change its DACL" ("Ownership of Objects", learn.microsoft.com/
// windows/win32/secauthz/ownership-of-objects): a hostile server can shut its
// token to us, so accepting what cannot be read would let it through. Only
// PROCESS_QUERY_LIMITED_INFORMATION is asked of the process, the right that
// protected processes still allow ("Process Security and Access Rights") and
// all that OpenProcessToken needs ("OpenProcessToken function").
PipeServerFacts ReadPipeServerToken(HANDLE pipe) {
    PipeServerFacts facts;
    ULONG processId = 0;
    if (!GetNamedPipeServerProcessId(pipe, &processId)) {
        return facts;
    }
    facts.processId = processId;
    const UniqueKernelHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    UniqueKernelHandle token;
    if (!process.IsOpen() || !OpenProcessToken(process.Get(), TOKEN_QUERY, token.Put())) {
        return facts;
    }
    const std::vector<unsigned char> user = TokenInformation(token.Get(), TokenUser);
    const std::vector<unsigned char> groups = TokenInformation(token.Get(), TokenGroups);
    if (user.empty() || groups.empty()) {
        return facts;
    }
    const PSID userSid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    facts.userSid = SidText(userSid);
    facts.account = AccountName(userSid, facts.userSid);
    const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
    for (DWORD i = 0; i < list->GroupCount; ++i) {
        const DWORD attributes = list->Groups[i].Attributes;
        facts.groups.push_back({SidText(list->Groups[i].Sid), (attributes & SE_GROUP_ENABLED) != 0,
                                (attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0});
    }
    facts.tokenRead = !facts.userSid.empty();
    return facts;
}
