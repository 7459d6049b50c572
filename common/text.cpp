#include "common/text.h"

#include <cwctype>

void CopyText(wchar_t* destination, std::size_t capacity, const wchar_t* source) {
    if (capacity == 0) {
        return;
    }
    std::size_t i = 0;
    for (; i + 1 < capacity && source[i] != L'\0'; ++i) {
        destination[i] = source[i];
    }
    destination[i] = L'\0';
}

void AppendText(wchar_t* destination, std::size_t capacity, const wchar_t* source) {
    std::size_t length = 0;
    while (length < capacity && destination[length] != L'\0') {
        ++length;
    }
    if (length < capacity) {
        CopyText(destination + length, capacity - length, source);
    }
}

std::wstring UpperCase(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return text;
}
