// Text pieces of the Messages pane that need no window: the time-stamp prefix
// and where to cut the oldest lines when the pane is full. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>

// The escape keeps "??)" from reading as a trigraph to older compilers.
inline constexpr wchar_t kTimestampFallback[] = L"(time???\?)   ";

// date + " " + time + "   ", cut to capacity. A null date or time (the locale
// could not format it) gives the fallback prefix instead.
void BuildTimestampPrefix(wchar_t* buffer, std::size_t capacity, const wchar_t* date,
                          const wchar_t* time);

// The pane holds at most kLogLimit characters; when an append would pass it,
// the oldest whole lines go until the text is back near three quarters of it.
inline constexpr std::size_t kLogLimit = 256 * 1024;
inline constexpr std::size_t kLogTrimTarget = kLogLimit / 4 * 3;

// How many leading characters of text (length characters) to drop before
// appending incoming characters: 0 when it fits, otherwise a cut just behind a
// line feed, so that only whole lines go.
std::size_t LogTrimLength(const wchar_t* text, std::size_t length, std::size_t incoming,
                          std::size_t limit = kLogLimit, std::size_t target = kLogTrimTarget);
