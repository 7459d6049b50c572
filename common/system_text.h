// The system's own text for an error code.
#pragma once

#include <windows.h>

#include <cstddef>

// Language 0 lets the system pick; 0x0400 is the neutral language.
inline constexpr DWORD kSystemLanguage = 0;
inline constexpr DWORD kNeutralLanguage = 0x0400;

// FormatMessageW from the system's table into buffer. When the system has no
// text for the code, buffer gets "System error <code> (no description
// available)." followed by lineEnd. Returns false in that case.
bool FormatSystemText(DWORD code, DWORD language, bool ignoreInserts, wchar_t* buffer,
                      DWORD capacity, const wchar_t* lineEnd = L"");
