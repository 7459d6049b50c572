// Who may serve a virtual machine's pipe. While a VM is off, any local user
// can create a pipe of its name; whoever serves it would be handed the host's
// serial device. The decision is made on what Windows says of the serving
// process's token (read in pipe/pipe_server.h), platform-free so that every
// case is tested natively.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TokenGroupEntry {
    std::wstring sid;  // string form, e.g. "S-1-5-32-544"
    bool enabled;      // SE_GROUP_ENABLED
    bool denyOnly;     // SE_GROUP_USE_FOR_DENY_ONLY: counts only to deny access
};

struct PipeServerFacts {
    std::uint32_t processId = 0;  // 0: not known
    bool tokenRead = false;       // false: the fields below are empty
    std::wstring userSid;
    std::wstring account;  // DOMAIN\name, or the SID where it has no name
    std::vector<TokenGroupEntry> groups;
};

// LocalSystem, a virtual machine's account (the NT VIRTUAL MACHINE authority,
// S-1-5-83-...) and a member of Administrators are accepted; anyone else, and
// a server whose token could not be read, is not.
bool IsAcceptedPipeServer(const PipeServerFacts& server);

// The log entry for a refused server of pipePath (\\.\pipe\NAME), with its line end.
std::wstring PipeServerRefusalText(const std::wstring& pipePath, const PipeServerFacts& server);

// Whether a refused server is the one refused last (the same process and
// account), which is not logged again.
bool IsSameServer(const PipeServerFacts& server, const std::optional<PipeServerFacts>& last);
