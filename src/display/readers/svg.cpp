// SVG reading with librsvg: drawn straight at the size it is shown at, from the file's bytes
// with no address of its own, so that nothing it names outside itself is ever loaded.
#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <librsvg/rsvg.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fit.h"
#include "format_modules.h"
#include "input.h"
#include "surfaces.h"

namespace {

// The most of an SVG taken, as stored and as unpacked: drawings larger than this are rare, and
// a gzipped one that unpacks to more is a bomb.
constexpr size_t kMostBytes = size_t(64) << 20;

// The size of a picture that states none, as web browsers give it.
constexpr int kDefaultWidth = 300;
constexpr int kDefaultHeight = 150;

bool readWhole(int file, std::vector<unsigned char> *bytes) {
    struct stat status;
    if (fstat(file, &status) != 0 || status.st_size < 0) {
        SDL_SetError("SVG: the file cannot be read");
        return false;
    }
    if (uint64_t(status.st_size) > kMostBytes) {
        SDL_SetError("SVG: a file of more than %d MB is more than lumoscape reads",
                     int(kMostBytes >> 20));
        return false;
    }
    bytes->resize(size_t(status.st_size));
    if (!readExactly(file, bytes->data(), bytes->size(), 0)) {
        SDL_SetError("SVG: the file cannot be read");
        return false;
    }
    return true;
}

// A gzipped SVG unpacked here, where what it unpacks to can be bounded; librsvg would take it
// whole.
bool unpack(std::vector<unsigned char> *bytes) {
    if (bytes->size() < 2 || (*bytes)[0] != 0x1f || (*bytes)[1] != 0x8b) return true;
    std::vector<unsigned char> text(std::min(kMostBytes, bytes->size() * 4 + 4096));
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) {
        SDL_OutOfMemory();
        return false;
    }
    stream.next_in = bytes->data();
    stream.avail_in = uInt(bytes->size());
    int status = Z_OK;
    while (status == Z_OK) {
        if (stream.total_out == text.size()) {
            if (text.size() == kMostBytes) break;
            text.resize(std::min(kMostBytes, text.size() * 2));
        }
        stream.next_out = text.data() + stream.total_out;
        stream.avail_out = uInt(text.size() - stream.total_out);
        status = inflate(&stream, Z_NO_FLUSH);
    }
    const size_t unpacked = stream.total_out;
    inflateEnd(&stream);
    if (status == Z_OK) {
        SDL_SetError("SVG: the file unpacks to more than %d MB", int(kMostBytes >> 20));
        return false;
    }
    // A cut file keeps what it unpacked to, which librsvg then judges.
    if (status != Z_STREAM_END && status != Z_BUF_ERROR) {
        SDL_SetError("SVG: the file cannot be unpacked");
        return false;
    }
    text.resize(unpacked);
    bytes->swap(text);
    return true;
}

// Past the first `text` at or after `at`, or the end.
size_t past(const std::vector<unsigned char> &bytes, size_t at, const char *text) {
    const size_t length = strlen(text);
    for (; at + length <= bytes.size(); at++) {
        if (memcmp(&bytes[at], text, length) == 0) return at + length;
    }
    return bytes.size();
}

// Whether an element's name starts at `at`: `name`, in a namespace prefix of its own or none,
// followed by what ends a name.
bool namesElement(const std::vector<unsigned char> &bytes, size_t at, const char *name) {
    size_t end = at;
    while (end < bytes.size() && !strchr(" \t\r\n/>", bytes[end])) end++;
    const size_t length = strlen(name);
    if (end == bytes.size() || end - at < length || memcmp(&bytes[end - length], name, length) != 0)
        return false;
    return end - at == length || bytes[end - length - 1] == ':';
}

// Every text element taken out, with what it holds, where no font can be read: drawn, it
// would show a box for each letter.
void leaveOutText(std::vector<unsigned char> *bytes) {
    std::vector<unsigned char> kept;
    kept.reserve(bytes->size());
    size_t at = 0;
    while (at < bytes->size()) {
        size_t next = at + 1;
        const size_t left = bytes->size() - at;
        const unsigned char *tag = &(*bytes)[at];
        if (left >= 4 && memcmp(tag, "<!--", 4) == 0) {
            next = past(*bytes, at + 4, "-->");
        } else if (left >= 9 && memcmp(tag, "<![CDATA[", 9) == 0) {
            next = past(*bytes, at + 9, "]]>");
        } else if (left >= 2 && *tag == '<' && namesElement(*bytes, at + 1, "text")) {
            // To the end of its start tag when it closes itself, or else of its end tag.
            const size_t tagEnd = past(*bytes, at, ">");
            size_t end = tagEnd;
            if ((*bytes)[tagEnd - 2] != '/') {
                do {
                    end = past(*bytes, end, "</");
                } while (end < bytes->size() && !namesElement(*bytes, end, "text"));
                end = past(*bytes, end, ">");
            }
            at = end;
            continue;
        }
        kept.insert(kept.end(), bytes->begin() + long(at), bytes->begin() + long(next));
        at = next;
    }
    bytes->swap(kept);
}

void setErrorFrom(GError *error, const char *otherwise) {
    SDL_SetError("SVG: %s", error && error->message ? error->message : otherwise);
    if (error) g_error_free(error);
}

// The size the file states, in pixels: its width and height, or else its viewBox's, or else
// the default; false when it states an empty or unusable one.
bool statedSize(RsvgHandle *handle, int *width, int *height) {
    gdouble statedWidth = 0, statedHeight = 0;
    gboolean hasViewBox = FALSE;
    RsvgRectangle viewBox{};
    if (!rsvg_handle_get_intrinsic_size_in_pixels(handle, &statedWidth, &statedHeight)) {
        rsvg_handle_get_intrinsic_dimensions(handle, nullptr, nullptr, nullptr, nullptr,
                                             &hasViewBox, &viewBox);
        statedWidth = hasViewBox ? viewBox.width : kDefaultWidth;
        statedHeight = hasViewBox ? viewBox.height : kDefaultHeight;
    }
    // Sizes are rounded to whole pixels, and a sliver is one pixel across.
    const auto pixels = [](gdouble side) {
        return side >= 0.5 ? std::lround(side) : side > 0 ? 1L : 0L;
    };
    if (!std::isfinite(statedWidth) || !std::isfinite(statedHeight) || statedWidth > 1e9 ||
        statedHeight > 1e9 || pixels(statedWidth) <= 0 || pixels(statedHeight) <= 0) {
        SDL_SetError("SVG: the picture states no size it can be drawn at");
        return false;
    }
    *width = int(pixels(statedWidth));
    *height = int(pixels(statedHeight));
    return true;
}

// cairo's premultiplied pixels, one word each, made the surface's red, green, blue and alpha
// bytes in place; opaque and clear pixels, most of a drawing, need no division.
void straightenPixels(SDL_Surface *picture) {
    for (int y = 0; y < picture->h; y++) {
        auto *row = static_cast<unsigned char *>(picture->pixels) + size_t(y) * picture->pitch;
        for (int x = 0; x < picture->w; x++) {
            unsigned char *at = row + size_t(x) * 4;
            uint32_t pixel;
            memcpy(&pixel, at, 4);
            const uint32_t alpha = pixel >> 24;
            uint32_t red = (pixel >> 16) & 0xff, green = (pixel >> 8) & 0xff, blue = pixel & 0xff;
            if (alpha != 255 && alpha != 0) {
                red = (red * 255 + alpha / 2) / alpha;
                green = (green * 255 + alpha / 2) / alpha;
                blue = (blue * 255 + alpha / 2) / alpha;
            }
            const unsigned char straight[4] = {
                static_cast<unsigned char>(red), static_cast<unsigned char>(green),
                static_cast<unsigned char>(blue), static_cast<unsigned char>(alpha)};
            memcpy(at, straight, 4);
        }
    }
}

// Drawn at `width` x `height` into the surface's own memory: the picture's `statedWidth` x
// `statedHeight` scaled to it, each axis by its own factor, as every picture is fitted.
SDL_Surface *draw(RsvgHandle *handle, int statedWidth, int statedHeight, int width, int height) {
    if (!surfaceHolds(width, height)) return nullptr;
    SDL_Surface *picture = makeRgbaSurface(width, height, true);
    if (!picture) return nullptr;
    if (picture->pitch != cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width)) {
        SDL_SetError("SVG: cairo cannot draw into a surface of this layout");
        SDL_FreeSurface(picture);
        return nullptr;
    }
    SDL_FillRect(picture, nullptr, 0);
    cairo_surface_t *drawn =
        cairo_image_surface_create_for_data(static_cast<unsigned char *>(picture->pixels),
                                            CAIRO_FORMAT_ARGB32, width, height, picture->pitch);
    cairo_t *context = cairo_create(drawn);
    cairo_scale(context, double(width) / statedWidth, double(height) / statedHeight);
    const RsvgRectangle viewport{0, 0, double(statedWidth), double(statedHeight)};
    GError *error = nullptr;
    const bool done = cairo_status(context) == CAIRO_STATUS_SUCCESS &&
                      rsvg_handle_render_document(handle, context, &viewport, &error);
    cairo_destroy(context);
    cairo_surface_finish(drawn);
    cairo_surface_destroy(drawn);
    if (!done) {
        setErrorFrom(error, "the picture cannot be drawn");
        SDL_FreeSurface(picture);
        return nullptr;
    }
    straightenPixels(picture);
    return picture;
}

RsvgHandle *parse(const std::vector<unsigned char> &bytes) {
    GInputStream *stream =
        g_memory_input_stream_new_from_data(bytes.data(), gssize(bytes.size()), nullptr);
    GError *error = nullptr;
    // No base file: a reference to another file or address has nothing to resolve against, and
    // librsvg loads none.
    RsvgHandle *handle =
        rsvg_handle_new_from_stream_sync(stream, nullptr, RSVG_HANDLE_FLAGS_NONE, nullptr, &error);
    g_object_unref(stream);
    if (!handle) setErrorFrom(error, "the file cannot be read as SVG");
    // An inch is 96 pixels, as in CSS and web browsers (librsvg's default is 90).
    else
        rsvg_handle_set_dpi(handle, 96);
    return handle;
}

// What a first drawing sets up for every worker to inherit: fontconfig's configuration and
// caches, which it reads from many folders, and librsvg's and pango's types.
constexpr char kWarmUp[] =
    "<svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'>"
    "<filter id='f'><feGaussianBlur stdDeviation='1'/></filter>"
    "<text x='1' y='12' font-family='sans-serif' font-size='12' filter='url(#f)'>Ag</text>"
    "</svg>";

// Pango warns of every size of every font it cannot open, as where no folder may be read and
// text is left out: only grave messages are passed on.
GLogWriterOutput passOnGrave(GLogLevelFlags level, const GLogField *fields, gsize count,
                             gpointer data) {
    if (!(level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL))) return G_LOG_WRITER_HANDLED;
    return g_log_writer_default(level, fields, count, data);
}

}  // namespace

SDL_Surface *readSvg(int file, const DecodeOptions &options, ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    std::vector<unsigned char> bytes;
    if (!readWhole(file, &bytes) || !unpack(&bytes)) return nullptr;
    if (!allowedFoldersReadable()) leaveOutText(&bytes);
    RsvgHandle *handle = parse(bytes);
    if (!handle) return nullptr;
    int width = 0, height = 0;
    SDL_Surface *picture = nullptr;
    if (statedSize(handle, &width, &height) && pictureIsTakeable("SVG", width, height, 0)) {
        *info = ImageInfo{true, width, height, 32};
        // Drawn at its own size where it fits, and straight at the size shown where not.
        const FitPlan plan = planFit(options, width, height);
        picture = plan.fits ? draw(handle, width, height, width, height)
                            : draw(handle, width, height, plan.fittedWidth, plan.fittedHeight);
    }
    g_object_unref(handle);
    return picture;
}

void prepareSvg() {
    g_log_set_writer_func(passOnGrave, nullptr, nullptr);
    const std::vector<unsigned char> warmUp(kWarmUp, kWarmUp + sizeof kWarmUp - 1);
    if (RsvgHandle *handle = parse(warmUp)) {
        SDL_Surface *drawn = draw(handle, 16, 16, 16, 16);
        SDL_FreeSurface(drawn);
        g_object_unref(handle);
    }
    SDL_ClearError();
    // Font files are opened as text needs them: the workers may read them, and nothing else.
    if (FcStrList *folders = FcConfigGetFontDirs(nullptr)) {
        while (const FcChar8 *folder = FcStrListNext(folders))
            allowReadingBeneath(reinterpret_cast<const char *>(folder));
        FcStrListDone(folders);
    }
}

extern "C" const FormatReaderModule lumoscapeSvgModule = {readSvg, prepareSvg};
