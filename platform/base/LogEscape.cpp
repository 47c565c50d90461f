#include "LogEscape.h"

#include <cstdio>

std::string escapeForLog(const String16& text)
{
    std::string shown;
    for (char16_t unit : text.view()) {
        char piece[8];
        if (unit == u'\'' || unit == u'\\')
            std::snprintf(piece, sizeof piece, "\\%c", char(unit));
        else if (unit < 0x20 || unit == 0x7F)
            std::snprintf(piece, sizeof piece, "\\x%02x", unsigned(unit));
        else if (unit >= 0x80)
            std::snprintf(piece, sizeof piece, "\\u%04x", unsigned(unit));
        else
            std::snprintf(piece, sizeof piece, "%c", char(unit));
        if (shown.size() + std::char_traits<char>::length(piece) > kMaxEscapedForLog)
            return shown + "...";
        shown += piece;
    }
    return shown;
}
