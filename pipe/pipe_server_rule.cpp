#include "pipe/pipe_server_rule.h"

namespace {

constexpr wchar_t kLocalSystem[] = L"S-1-5-18";
// The NT VIRTUAL MACHINE authority: SECURITY_NT_AUTHORITY with the virtual
// server base RID 83; each VM's worker process runs as S-1-5-83-1-...
constexpr wchar_t kVirtualMachinePrefix[] = L"S-1-5-83-";
constexpr wchar_t kAdministrators[] = L"S-1-5-32-544";

bool IsAdministrator(const std::vector<TokenGroupEntry>& groups) {
    for (const TokenGroupEntry& group : groups) {
        // An unelevated administrator's Administrators group is deny-only:
        // it does not make the process an administrator.
        if (group.sid == kAdministrators && group.enabled && !group.denyOnly) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool IsAcceptedPipeServer(const PipeServerFacts& server) {
    if (!server.tokenRead) {
        return false;
    }
    const std::wstring prefix = kVirtualMachinePrefix;
    return server.userSid == kLocalSystem ||
           (server.userSid.size() > prefix.size() && server.userSid.starts_with(prefix)) ||
           IsAdministrator(server.groups);
}

std::wstring PipeServerRefusalText(const std::wstring& pipePath, const PipeServerFacts& server) {
    const std::wstring account =
        server.tokenRead ? server.account : L"an account that could not be read";
    const std::wstring process = server.processId != 0
                                     ? L"process " + std::to_wstring(server.processId)
                                     : L"process unknown";
    return L"The pipe " + pipePath + L" is served by " + account + L" (" + process +
           L"), not by a virtual machine: not connecting to it\r\n";
}

bool IsSameServer(const PipeServerFacts& server, const std::optional<PipeServerFacts>& last) {
    return last.has_value() && last->processId == server.processId &&
           last->tokenRead == server.tokenRead && last->userSid == server.userSid;
}
