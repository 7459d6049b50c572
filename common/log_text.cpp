#include "common/log_text.h"

#include "common/text.h"

void BuildTimestampPrefix(wchar_t* buffer, std::size_t capacity, const wchar_t* date,
                          const wchar_t* time) {
    if (date == nullptr || time == nullptr) {
        CopyText(buffer, capacity, kTimestampFallback);
        return;
    }
    CopyText(buffer, capacity, date);
    AppendText(buffer, capacity, L" ");
    AppendText(buffer, capacity, time);
    AppendText(buffer, capacity, L"   ");
}

std::size_t LogTrimLength(const wchar_t* text, std::size_t length, std::size_t incoming,
                          std::size_t limit, std::size_t target) {
    if (length + incoming <= limit) {
        return 0;
    }
    if (incoming >= target) {
        return length;
    }
    // Keep at most target - incoming of the old text, starting at a line.
    const std::size_t mustDrop = length + incoming - target;
    for (std::size_t i = mustDrop; i > 0 && i <= length; ++i) {
        if (text[i - 1] == L'\n') {
            return i;
        }
    }
    return length;
}
