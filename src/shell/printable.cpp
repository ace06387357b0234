// Printable text: a file name or a reason as one line a terminal shows as it is, with control
// characters, marks that reorder or break the text, and bytes that are not UTF-8 escaped.
#include <cstdio>
#include <cstring>

#include "shell.h"

int utf8Character(const unsigned char *text, size_t size, uint32_t *point) {
    const unsigned char lead = text[0];
    const int length = lead < 0x80                    ? 1
                       : lead >= 0xc2 && lead <= 0xdf ? 2
                       : lead >= 0xe0 && lead <= 0xef ? 3
                       : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                      : 0;
    if (length == 0 || size_t(length) > size) return 0;
    uint32_t value = length == 1 ? lead : lead & (0xff >> (length + 1));
    for (int i = 1; i < length; i++) {
        if ((text[i] & 0xc0) != 0x80) return 0;
        value = value << 6 | (text[i] & 0x3f);
    }
    // Overlong forms, surrogates and points past Unicode are not UTF-8.
    const uint32_t shortest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < shortest[length] || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff))
        return 0;
    *point = value;
    return length;
}

bool printableCharacter(uint32_t point) {
    const bool control = point < 0x20 || (point >= 0x7f && point <= 0x9f);
    const bool reordering = point == 0x061c || point == 0x200e || point == 0x200f ||
                            (point >= 0x2028 && point <= 0x202e) ||
                            (point >= 0x2066 && point <= 0x2069);
    return !control && !reordering;
}

std::string printable(const char *text) {
    std::string shown;
    const auto *at = reinterpret_cast<const unsigned char *>(text);
    size_t left = strlen(text);
    char escape[16];
    while (left > 0) {
        uint32_t point = 0;
        const int length = utf8Character(at, left, &point);
        if (length && printableCharacter(point)) {
            shown.append(reinterpret_cast<const char *>(at), size_t(length));
        } else if (length > 1) {
            snprintf(escape, sizeof escape, "\\u%04x", unsigned(point));
            shown += escape;
        } else if (point == '\n' || point == '\r' || point == '\t') {
            shown += point == '\n' ? "\\n" : point == '\r' ? "\\r" : "\\t";
        } else {
            snprintf(escape, sizeof escape, "\\x%02x", unsigned(*at));
            shown += escape;
        }
        const size_t taken = length ? size_t(length) : 1;
        at += taken;
        left -= taken;
    }
    return shown;
}
