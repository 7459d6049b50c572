// Text of fixed-size buffers and names, for every layer. Platform-free.
#pragma once

#include <cstddef>
#include <string>

// Copies at most capacity - 1 characters of source and always terminates.
void CopyText(wchar_t* destination, std::size_t capacity, const wchar_t* source);
// Appends as much of source as fits; always terminates.
void AppendText(wchar_t* destination, std::size_t capacity, const wchar_t* source);
// Names compared as Windows compares them: in any case.
std::wstring UpperCase(std::wstring text);
// text without the line break (CR, LF or both) it ends with.
std::wstring WithoutLineEnd(std::wstring text);
// text as UTF-8, for files and consoles.
std::string ToUtf8(const std::wstring& text);
