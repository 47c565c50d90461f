// A name as a log line may show it: printable ASCII only, so that no name
// can end a line, forge the rest of it, move the terminal's cursor or
// reorder what is shown. Internal to the platform library.
#pragma once

#include <quellix/String16.h>

#include <cstddef>
#include <string>

// The longest escaped text escapeForLog() returns, before its "...".
inline constexpr size_t kMaxEscapedForLog = 128;

// `text` with the quote and the backslash as \' and \\, C0 controls and
// DEL as \xHH, and every unit from U+0080 up (the C1 controls, U+0085,
// U+2028, U+2029, the bidirectional controls, surrogates lone or paired)
// as \uHHHH. Past kMaxEscapedForLog characters it is cut, between two
// escapes, and "..." follows.
std::string escapeForLog(const String16& text);
