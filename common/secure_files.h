// The folders the program writes in and the files it writes there, made and
// opened so that nobody else can point the writes elsewhere: the service is
// LocalSystem, and every local user is someone it must not serve. The
// decisions are access_rules.h's; this asks Windows what they need.
#pragma once

#include <windows.h>

#include <string>

#include "common/access_rules.h"
#include "common/handles.h"

// Through here so that tests can say what Windows would: Wine neither keeps
// nor enforces access lists (it reads back SYSTEM and the user in full).
struct SecurityCalls {
    // The owner and access list of path, and whether it is a reparse point
    // itself (not what it points to). False, with the error, when unreadable.
    bool (*read)(const std::wstring& path, ObjectSecurity& security, DWORD& error);
};
extern SecurityCalls Security;

// What the program's data folders get: SYSTEM and Administrators in full,
// Users to read and go through, nobody else; owned by Administrators;
// nothing taken from the folder above. Files made inside inherit it.
inline constexpr wchar_t kDataFolderSddl[] =
    L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// %ProgramData%, and the service's folder in it (%ProgramData%\Vantrel).
std::wstring ProgramDataRoot();
std::wstring ServiceDataFolder();
// %LOCALAPPDATA%, and a desk window's folder in it: whoever runs it, the
// folder is their own.
std::wstring DeskDataRoot();
std::wstring DeskDataFolder();

// How a data folder is made where it is missing: with kDataFolderSddl (the
// service's), or with what the folder above gives (a user's own, under their
// profile, which only they, SYSTEM and Administrators may change).
enum class FolderMaking { Protected, Inherited };
// Makes folder (which lies under root) where it is missing, then checks it
// and every folder between root and it. Empty when the program may write
// there; else why not, for the Messages and the event log.
std::wstring PrepareDataFolder(const std::wstring& root, const std::wstring& folder,
                               FolderMaking making = FolderMaking::Protected);

// Why place (a folder or file) may be changed by someone untrusted, read
// from Windows; empty when it may not. Reparse points refused when asked.
std::wstring PlaceProblem(const std::wstring& place, bool refuseReparsePoint);

// ERROR_STOPPED_ON_SYMLINK, "The create operation stopped after reaching a
// symbolic link" ("System Error Codes (500-999)"), which MinGW's headers
// lack: what a refused link is reported as.
inline constexpr DWORD kLinkRefusedError = 681;

// Opens path for writing, made when missing, without following a link: a
// reparse point, or a file with a second hard link, is refused
// (kLinkRefusedError, and the reason in problem).
UniqueFile OpenDataFile(const std::wstring& path, DWORD access, DWORD share, DWORD& error,
                        std::wstring* problem = nullptr);

// NAME becomes NAME.1, NAME.1 NAME.2 and so on up to NAME.kept; the oldest
// goes. Only when the folder is still no link and every file moved is a
// plain file: ERROR_SUCCESS, or kLinkRefusedError.
DWORD RotateDataFile(const std::wstring& path, int kept);
