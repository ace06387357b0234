// Telling an SVG by its content: an XML document whose root element is svg, as text or gzipped.
#include <zlib.h>

#include <cstring>

namespace {

bool startsWith(const unsigned char *at, const unsigned char *end, const char *text) {
    const size_t length = strlen(text);
    return size_t(end - at) >= length && memcmp(at, text, length) == 0;
}

// Past the first `text` at or after `at`; null when the start holds none.
const unsigned char *past(const unsigned char *at, const unsigned char *end, const char *text) {
    const size_t length = strlen(text);
    for (; size_t(end - at) >= length; at++) {
        if (memcmp(at, text, length) == 0) return at + length;
    }
    return nullptr;
}

// Past a document type declaration, whose internal subset may hold quoted '>' and '<'.
const unsigned char *pastDoctype(const unsigned char *at, const unsigned char *end) {
    unsigned char quote = 0;
    int depth = 0;
    for (; at < end; at++) {
        if (quote) {
            if (*at == quote) quote = 0;
        } else if (*at == '"' || *at == '\'') {
            quote = *at;
        } else if (*at == '[') {
            depth++;
        } else if (*at == ']') {
            depth--;
        } else if (*at == '>' && depth <= 0) {
            return at + 1;
        }
    }
    return nullptr;
}

bool isSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Whether the text's root element, past its declaration, comments, processing instructions
// and document type, is svg (in a namespace prefix of its own or none).
bool rootIsSvg(const unsigned char *at, const unsigned char *end) {
    if (startsWith(at, end, "\xef\xbb\xbf")) at += 3;
    while (at) {
        while (at < end && isSpace(*at)) at++;
        if (at >= end || *at != '<') return false;
        if (startsWith(at, end, "<?")) {
            at = past(at, end, "?>");
        } else if (startsWith(at, end, "<!--")) {
            at = past(at + 4, end, "-->");
        } else if (startsWith(at, end, "<!DOCTYPE")) {
            at = pastDoctype(at, end);
        } else {
            const unsigned char *name = ++at;
            while (at < end && !isSpace(*at) && *at != '>' && *at != '/') at++;
            if (at >= end) return false;
            const size_t length = size_t(at - name);
            if (length < 3 || memcmp(at - 3, "svg", 3) != 0) return false;
            return length == 3 || at[-4] == ':';
        }
    }
    return false;
}

}  // namespace

bool startsLikeSvg(const unsigned char *start, size_t size) {
    const unsigned char *end = start + size;
    if (size < 2 || start[0] != 0x1f || start[1] != 0x8b) return rootIsSvg(start, end);
    // Gzipped: the start unpacked, as far as it goes.
    unsigned char text[4096];
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return false;
    stream.next_in = const_cast<unsigned char *>(start);
    stream.avail_in = uInt(size);
    stream.next_out = text;
    stream.avail_out = sizeof text;
    const int status = inflate(&stream, Z_SYNC_FLUSH);
    const size_t unpacked = sizeof text - stream.avail_out;
    inflateEnd(&stream);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return false;
    return rootIsSvg(text, text + unpacked);
}
