// The client end of the service's pipe, for every part of the program that
// asks the running service (the status window's viewer, command-line modes):
// one request and its reply, within a deadline, and only from the service's
// own process. Any local user can create a pipe of that name while the
// service does not hold it, so an answer from anyone else is not read.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/viewer_protocol.h"

enum class ServiceAnswer { Answered, Silent, Posing };

inline constexpr wchar_t kPosingText[] = L"Another program is posing as the Vantrel service";
inline constexpr wchar_t kSilentText[] = L"The Vantrel service does not answer";
// Everything, from the open to the end of the reply, within this.
inline constexpr DWORD kServiceAnswerDeadlineMs = 2000;

// The running service's process id from the control manager, 0 when it does
// not run. Replaceable for tests, where no service runs.
extern std::uint32_t (*ServiceProcessId)();

// Whether pipe, an open client end of the service's pipe, is served by the
// service's own process.
bool IsServedByTheService(HANDLE pipe);

// Sends request and puts the reply in reply. Silent when the pipe is missing,
// busy or slow, or the exchange fails; Posing when another process serves it
// (then nothing was sent or read).
ServiceAnswer AskTheService(const ViewerRequest& request, std::vector<unsigned char>& reply);
// The same with the reply parsed into reply and its Messages; Silent as well
// when what came back is not a reply.
ServiceAnswer AskTheService(const ViewerRequest& request, ViewerReply& reply,
                            std::wstring& messages);
