#include "common/text.h"

#include <cstdint>
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

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = static_cast<std::uint32_t>(text[i]) & 0x1FFFFFu;
        // UTF-16 surrogate pairs, where wchar_t is 16 bits; a surrogate
        // without its partner becomes U+FFFD, as the system's encoder makes it.
        if (c >= 0xD800 && c < 0xE000) {
            const std::uint32_t low =
                i + 1 < text.size() ? static_cast<std::uint32_t>(text[i + 1]) : 0;
            if (c < 0xDC00 && low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        } else if (c > 0x10FFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring WithoutLineEnd(std::wstring text) {
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
        text.pop_back();
    }
    return text;
}
