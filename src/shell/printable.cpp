// Printable text: a file name or a reason as one line a terminal shows as it is, with control
// characters, bidirectional controls and bytes that are not UTF-8 written as escapes.
#include <cstdio>

#include "shell.h"

namespace {

// The length of the UTF-8 sequence at `text` and the character it encodes; 0 where the bytes
// are not one (a stray or missing continuation, an overlong form, a surrogate, past U+10FFFF).
int decodeUtf8(const unsigned char *text, uint32_t *character) {
    const unsigned char lead = text[0];
    int length = 0;
    uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    for (int i = 1; i < length; i++) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        value = value << 6 | (text[i] & 0x3F);
    }
    const uint32_t shortest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < shortest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *character = value;
    return length;
}

// Characters that reorder the text after them, which could make a name read as another.
bool isBidirectionalControl(uint32_t character) {
    return character == 0x061C || character == 0x200E || character == 0x200F ||
           (character >= 0x202A && character <= 0x202E) ||
           (character >= 0x2066 && character <= 0x2069);
}

}  // namespace

std::string printable(const char *text) {
    std::string shown;
    const auto *at = reinterpret_cast<const unsigned char *>(text);
    char escape[16];
    while (*at) {
        const unsigned char byte = *at;
        if (byte >= 0x20 && byte < 0x7F) {
            shown += char(byte);
            at++;
            continue;
        }
        uint32_t character = 0;
        const int length = byte >= 0x80 ? decodeUtf8(at, &character) : 0;
        if (length && character >= 0xA0 && !isBidirectionalControl(character)) {
            shown.append(reinterpret_cast<const char *>(at), size_t(length));
            at += length;
            continue;
        }
        if (length) {
            // C1 controls and bidirectional controls, by their code point.
            snprintf(escape, sizeof escape, "\\u%04x", unsigned(character));
            at += length;
        } else if (byte == '\n' || byte == '\r' || byte == '\t') {
            snprintf(escape, sizeof escape, "\\%c", byte == '\n' ? 'n' : byte == '\r' ? 'r' : 't');
            at++;
        } else {
            snprintf(escape, sizeof escape, "\\x%02x", unsigned(byte));
            at++;
        }
        shown += escape;
    }
    return shown;
}
