// File checks: where a PNG goes wrong, named by its chunks, and an XPM whose pixels use colours
// it does not define, refused before SDL_image's reader crashes on it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "readers.h"
#include "input.h"

namespace {

constexpr char kSignature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};
constexpr uint32_t kLargestLength = 0x7fffffff;  // what the format allows a chunk
constexpr off_t kChunkFrame = 12;                // length, type and CRC around the data

uint32_t bigEndian(const unsigned char *bytes) {
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

// Walks the chunk headers from the signature to IEND; false, with the reason set as SDL's
// error, at the first chunk that claims more than the format allows or than the file holds.
// The reason is formatted here: SDL's own formatting knows no long numbers.
bool chunksFit(int file, off_t size) {
    char reason[160];
    off_t at = sizeof kSignature;
    unsigned char header[8];
    while (at < size) {
        if (size - at < kChunkFrame || !readExactly(file, header, sizeof header, at)) {
            snprintf(reason, sizeof reason, "PNG file ends inside a chunk header at byte %lld",
                     static_cast<long long>(at));
            SDL_SetError("%s", reason);
            return false;
        }
        const uint32_t length = bigEndian(header);
        char type[5] = {};
        for (int i = 0; i < 4; i++) {
            const unsigned char c = header[4 + i];
            type[i] = (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
        }
        if (length > kLargestLength) {
            snprintf(reason, sizeof reason,
                     "PNG chunk %s at byte %lld claims %lu bytes, more than a chunk may hold", type,
                     static_cast<long long>(at), static_cast<unsigned long>(length));
            SDL_SetError("%s", reason);
            return false;
        }
        if (static_cast<off_t>(length) > size - at - kChunkFrame) {
            snprintf(reason, sizeof reason,
                     "PNG chunk %s at byte %lld claims %lu bytes, past the end of the file "
                     "(%lld bytes)",
                     type, static_cast<long long>(at), static_cast<unsigned long>(length),
                     static_cast<long long>(size));
            SDL_SetError("%s", reason);
            return false;
        }
        if (!memcmp(header + 4, "IEND", 4)) return true;
        at += kChunkFrame + static_cast<off_t>(length);
    }
    // A file that ends right after a chunk is left to the decoder, which fills in or refuses.
    return true;
}

// The quoted strings of an XPM file, in order; comments are skipped.
std::vector<std::string> xpmStrings(const std::string &text) {
    std::vector<std::string> strings;
    for (size_t at = 0; at < text.size(); at++) {
        if (text.compare(at, 2, "/*") == 0) {
            const size_t end = text.find("*/", at + 2);
            if (end == std::string::npos) break;
            at = end + 1;
        } else if (text[at] == '"') {
            const size_t end = text.find('"', at + 1);
            if (end == std::string::npos) break;
            strings.push_back(text.substr(at + 1, end - at - 1));
            at = end;
        }
    }
    return strings;
}

// SDL_image's XPM reader follows a null pointer on a pixel whose colour key the file never
// defines, which a row cut short also gives it; the reader's other refusals are its own.
bool xpmColoursDefined(int file, off_t size) {
    std::string text(static_cast<size_t>(size), '\0');
    if (!readExactly(file, text.data(), text.size(), 0)) return true;
    const std::vector<std::string> strings = xpmStrings(text);
    int width = 0;
    int height = 0;
    int colours = 0;
    int keyLength = 0;
    if (strings.empty() ||
        sscanf(strings[0].c_str(), "%d %d %d %d", &width, &height, &colours, &keyLength) != 4 ||
        width <= 0 || height <= 0 || colours <= 0 || keyLength <= 0 ||
        strings.size() < size_t(1) + size_t(colours) + size_t(height))
        return true;
    std::set<std::string> keys;
    for (int i = 1; i <= colours; i++) keys.insert(strings[size_t(i)].substr(0, size_t(keyLength)));
    const size_t rowLength = size_t(width) * size_t(keyLength);
    for (int row = 0; row < height; row++) {
        const std::string &pixels = strings[size_t(1) + size_t(colours) + size_t(row)];
        if (pixels.size() < rowLength || pixels.find('\0') < rowLength) {
            SDL_SetError("XPM row %d holds fewer than its %d pixels", row, width);
            return false;
        }
        for (size_t at = 0; at < rowLength; at += size_t(keyLength)) {
            if (!keys.count(pixels.substr(at, size_t(keyLength)))) {
                SDL_SetError("XPM pixel %d of row %d uses a colour the file does not define",
                             int(at / size_t(keyLength)), row);
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool pngChunksFit(int file) {
    struct stat status;
    return fstat(file, &status) != 0 || chunksFit(file, status.st_size);
}

bool xpmLooksDecodable(int file) {
    struct stat status;
    char start[9] = {};
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode) ||
        !readExactly(file, start, sizeof start, 0) || memcmp(start, "/* XPM */", 9) != 0)
        return true;  // the reader decides what it cannot read
    return xpmColoursDefined(file, status.st_size);
}
