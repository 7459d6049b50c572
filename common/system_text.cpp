#include "common/system_text.h"

#include <cwchar>

bool FormatSystemText(DWORD code, DWORD language, bool ignoreInserts, wchar_t* buffer,
                      DWORD capacity, const wchar_t* lineEnd) {
    if (capacity == 0) {
        return false;
    }
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM;
    if (ignoreInserts) {
        flags |= FORMAT_MESSAGE_IGNORE_INSERTS;
    }
    buffer[0] = L'\0';
    const DWORD length = FormatMessageW(flags, nullptr, code, language, buffer, capacity, nullptr);
    if (length != 0) {
        return true;
    }
    // The entry or box must still say which error it was.
    std::swprintf(buffer, capacity, L"System error %lu (no description available).%ls",
                  static_cast<unsigned long>(code), lineEnd);
    return false;
}
