// PNG reading with libpng, a row at a time: every colour type, depth and transparency in its
// true colours, and a picture larger than the screen averaged to it while it is read.
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>

#include "readers.h"
#include "average.h"
#include "colour.h"
#include "fit.h"
#include "input.h"
#include "surfaces.h"

namespace {

// SDL 1.2 makes no surface this wide or high, whatever the depth.
constexpr png_uint_32 kSurfaceWidthLimit = 16384;
constexpr png_uint_32 kSurfaceHeightLimit = 65536;

// The most compressed data libpng takes at a time near the end of the file.
constexpr size_t kLastPieces = 256;

// Bytes read from the file at a time, for libpng to take in small pieces.
constexpr size_t kReadAhead = 65536;

// The ancillary chunks libpng knows, but tRNS: names of four letters, each ended by a zero.
const png_byte kSkippedChunks[] =
    "bKGD\0eXIf\0hIST\0iTXt\0oFFs\0pCAL\0pHYs\0sBIT\0sCAL\0sPLT\0tEXt\0tIME\0zTXt";
// And the ones that describe the colours, when they are shown as stored.
const png_byte kColourChunks[] = "cHRM\0gAMA\0iCCP\0sRGB";

// The gamma PNG writers give sRGB pictures, and sRGB's chromaticities (white, red, green,
// blue) as cHRM stores them, to its five decimals.
constexpr double kSrgbGamma = 1 / 2.2;
constexpr double kSrgbChromaticities[8] = {0.3127, 0.3290, 0.64, 0.33, 0.30, 0.60, 0.15, 0.06};

bool isSrgbChromaticities(const ColourDescription &colours) {
    const double given[8] = {colours.white[0], colours.white[1], colours.red[0],  colours.red[1],
                             colours.green[0], colours.green[1], colours.blue[0], colours.blue[1]};
    for (int i = 0; i < 8; i++) {
        if (std::fabs(given[i] - kSrgbChromaticities[i]) > 0.0001) return false;
    }
    return true;
}

// The colour space the chunks read describe: none for an sRGB picture, else its ICC profile
// (libpng's, valid while `info` is), or its gamma and chromaticities.
ColourDescription coloursOf(png_structp png, png_infop info) {
    ColourDescription colours{};
    colours.grey = !(png_get_color_type(png, info) & PNG_COLOR_MASK_COLOR);
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    double white[2], red[2], green[2], blue[2];
    if (png_get_valid(png, info, PNG_INFO_sRGB)) return colours;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &length)) {
        colours.icc = profile;
        colours.iccSize = length;
    } else if (png_get_gAMA(png, info, &colours.gamma)) {
        colours.hasChromaticities = png_get_cHRM(png, info, &white[0], &white[1], &red[0], &red[1],
                                                 &green[0], &green[1], &blue[0], &blue[1]) != 0;
        for (int i = 0; colours.hasChromaticities && i < 2; i++) {
            colours.white[i] = white[i], colours.red[i] = red[i];
            colours.green[i] = green[i], colours.blue[i] = blue[i];
        }
        // 1/2.2 with sRGB's primaries, or none, is what writers mean by sRGB (ImageMagick
        // writes it so), and what libpng itself takes for sRGB: shown as stored.
        if (std::fabs(colours.gamma - kSrgbGamma) <= kSrgbGamma / 100 &&
            (!colours.hasChromaticities || isSrgbChromaticities(colours)))
            colours = ColourDescription{};
    }
    return colours;
}

// One read of one file; no member has a destructor, as libpng leaves by longjmp.
struct PngRead {
    FileInput input;       // where the next read of the file starts
    off_t size;            // of the file
    unsigned char *ahead;  // bytes read from the file that libpng has yet to take
    size_t aheadStart;     // the first of them
    size_t aheadEnd;       // and the end
    char reason[200];      // libpng's complaint, or ours
    png_structp png;
    png_infop info;
    SDL_Surface *picture;       // what is handed back, unless averaged: paletted or RGBA
    ColourDescription colours;  // as the header's chunks give them
    unsigned char *row;         // one row, where rows are not read straight into the picture
    AreaAverager averager;
    bool averaging;
    int channels;  // of the rows as read
    int pass;      // the interlacing pass being read
    int passRows;  // and the rows of it read
};

// Where libpng is in the file.
off_t offset(const PngRead *read) {
    return read->input.at - off_t(read->aheadEnd - read->aheadStart);
}

// A short read ends decoding at once: a chunk that claims more than the file holds has no more
// to give.
void readBytes(png_structp png, png_bytep into, size_t length) {
    PngRead *read = static_cast<PngRead *>(png_get_io_ptr(png));
    while (length > 0) {
        if (read->aheadStart == read->aheadEnd) {
            const size_t got = readSome(&read->input, read->ahead, kReadAhead);
            if (got == 0) {
                snprintf(read->reason, sizeof read->reason,
                         "PNG file ends at byte %lld, before its picture does",
                         static_cast<long long>(read->input.at));
                png_longjmp(png, 1);
            }
            read->aheadStart = 0;
            read->aheadEnd = got;
        }
        const size_t taken = std::min(length, read->aheadEnd - read->aheadStart);
        memcpy(into, read->ahead + read->aheadStart, taken);
        read->aheadStart += taken;
        into += taken;
        length -= taken;
    }
}

[[noreturn]] void onError(png_structp png, png_const_charp message) {
    PngRead *read = static_cast<PngRead *>(png_get_error_ptr(png));
    snprintf(read->reason, sizeof read->reason, "PNG: %s", message);
    png_longjmp(png, 1);
}

// Warnings, such as a damaged ancillary chunk, are not failures.
void onWarning(png_structp, png_const_charp) {}

// The colour key of a palette's transparency as SDL_image reads it: exactly one entry fully
// transparent and every other fully opaque; -1 for none. False for transparency only an alpha
// channel can carry.
bool paletteKey(png_structp png, png_infop info, int *key) {
    *key = -1;
    png_bytep opacity = nullptr;
    int entries = 0;
    if (!png_get_tRNS(png, info, &opacity, &entries, nullptr)) return true;
    for (int i = 0; i < entries; i++) {
        if (opacity[i] == 0 && *key < 0) {
            *key = i;
        } else if (opacity[i] != 255) {
            return false;
        }
    }
    return true;
}

// The depth SDL_image's PNG reader gives a file of this kind, which the INFO line keeps.
int reportedDepth(png_structp png, png_infop info) {
    const bool transparency = png_get_valid(png, info, PNG_INFO_tRNS);
    int key = -1;
    switch (png_get_color_type(png, info)) {
    case PNG_COLOR_TYPE_GRAY:
        return transparency ? 16 : 8;
    case PNG_COLOR_TYPE_PALETTE:
        return paletteKey(png, info, &key) ? 8 : 32;
    case PNG_COLOR_TYPE_RGB:
        return 24;
    default:
        return 32;
    }
}

// A paletted picture SDL can hold stays paletted, as SDL_image makes it.
bool keepsPalette(png_structp png, png_infop info) {
    int key = -1;
    return png_get_color_type(png, info) == PNG_COLOR_TYPE_PALETTE && paletteKey(png, info, &key) &&
           png_get_image_width(png, info) < kSurfaceWidthLimit &&
           png_get_image_height(png, info) < kSurfaceHeightLimit;
}

SDL_Surface *makePaletted(png_structp png, png_infop info) {
    SDL_Surface *picture =
        SDL_CreateRGBSurface(SDL_SWSURFACE, int(png_get_image_width(png, info)),
                             int(png_get_image_height(png, info)), 8, 0, 0, 0, 0);
    png_colorp entries = nullptr;
    int count = 0;
    if (!picture || !png_get_PLTE(png, info, &entries, &count)) return picture;
    SDL_Color colours[256];
    for (int i = 0; i < count && i < 256; i++)
        colours[i] = SDL_Color{entries[i].red, entries[i].green, entries[i].blue, 0};
    SDL_SetColors(picture, colours, 0, count);
    picture->format->palette->ncolors = count;
    int key = -1;
    paletteKey(png, info, &key);
    if (key >= 0) SDL_SetColorKey(picture, SDL_SRCCOLORKEY, Uint32(key));
    return picture;
}

// Where row `y` of the picture goes as it is read.
unsigned char *rowFor(PngRead *read, int y) {
    if (read->averaging) return read->row;
    return static_cast<unsigned char *>(read->picture->pixels) + size_t(y) * read->picture->pitch;
}

// A surface of SDL 1.2, whose rows are at most 65,535 bytes; null, with a reason that says
// so, for a picture larger than it holds.
SDL_Surface *makePicture(png_structp png, png_infop info, bool paletted, bool alpha) {
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    if (!surfaceHolds(int(width), int(height))) {
        PngRead *read = static_cast<PngRead *>(png_get_io_ptr(png));
        snprintf(read->reason, sizeof read->reason, "%s", SDL_GetError());
        png_longjmp(png, 1);
    }
    SDL_Surface *picture =
        paletted ? makePaletted(png, info) : makeRgbaSurface(int(width), int(height), alpha);
    if (!picture) png_error(png, "Out of memory");
    return picture;
}

// Sets up the transformations and the surfaces for the picture whose header has been read.
void prepare(PngRead *read, const DecodeOptions &options) {
    png_structp png = read->png;
    png_infop info = read->info;
    const int width = int(png_get_image_width(png, info));
    const int height = int(png_get_image_height(png, info));
    const FitPlan plan = planFit(options, width, height);
    read->averaging = plan.averaged;
    // A picture that must shrink is averaged in its colours, a paletted one's too.
    const bool paletted = !read->averaging && keepsPalette(png, info);
    const bool opaque = !(png_get_color_type(png, info) & PNG_COLOR_MASK_ALPHA) &&
                        !png_get_valid(png, info, PNG_INFO_tRNS);
    const bool interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    // The rows of an opaque picture averaged as it is read need no alpha to be filled in;
    // those of an interlaced one come in passes, whose pixels are told apart by place only.
    read->channels = paletted ? 1 : read->averaging && opaque && !interlaced ? 3 : 4;

    if (paletted) {
        png_set_packing(png);
    } else {
        png_set_expand(png);
        png_set_scale_16(png);
        png_set_gray_to_rgb(png);
        if (opaque && read->channels == 4) png_set_filler(png, 0xff, PNG_FILLER_AFTER);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != size_t(width) * size_t(read->channels))
        png_error(png, "rows of an unexpected size");

    if (read->averaging) {
        if (!startAveraging(&read->averager, width, height, plan.averagedWidth, plan.averagedHeight,
                            opaque, interlaced))
            png_error(png, "Out of memory");
        read->row = static_cast<unsigned char *>(malloc(size_t(width) * size_t(read->channels)));
        if (!read->row) png_error(png, "Out of memory");
    } else {
        read->picture = makePicture(png, info, paletted, !opaque);
    }
}

// Reads the header and every row it can; false when libpng stopped it, with the reason.
bool readRows(PngRead *read, const DecodeOptions &options, ImageInfo *imageInfo) {
    if (setjmp(png_jmpbuf(read->png))) return false;
    png_structp png = read->png;
    png_infop info = read->info;
    // Damaged files are shown as far as they decode: a checksum that does not match, in a
    // chunk or in the compressed data, stops nothing.
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
#ifdef PNG_IGNORE_ADLER32
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
    // Only the transparency matters of the ancillary chunks. libpng allocates whatever length
    // a chunk it reads claims, up to 2 GB; skipped, a chunk costs nothing but its bytes.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kSkippedChunks,
                                int(sizeof kSkippedChunks / 5));
    if (options.rawColours)
        png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kColourChunks,
                                    int(sizeof kColourChunks / 5));
    png_read_info(png, info);
    // Before any transformation changes the colour type.
    read->colours = coloursOf(png, info);
    const int width = int(png_get_image_width(png, info));
    const int height = int(png_get_image_height(png, info));
    *imageInfo = ImageInfo{true, width, height, reportedDepth(png, info)};
    prepare(read, options);

    const bool interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    bool nearTheEnd = false;
    // With its interlace handling on, libpng takes every row in each of the seven passes,
    // even those of a pass a small picture has no pixels in.
    for (int pass = 0; pass < (interlaced ? 7 : 1); pass++) {
        for (int y = 0; y < height; y++) {
            // Near the end of the file the compressed data is taken in small pieces, so that a
            // file cut short loses no more of its rows than the piece it ends in.
            if (!nearTheEnd && read->size - offset(read) < off_t(kReadAhead)) {
                png_set_compression_buffer_size(png, kLastPieces);
                nearTheEnd = true;
            }
            png_read_row(png, rowFor(read, y), nullptr);
            read->pass = pass;
            read->passRows = y + 1;
            if (!read->averaging) continue;
            // Of a pass, only its own columns of its own rows hold its pixels.
            if (!interlaced)
                averageRow(&read->averager, y, read->row, read->channels);
            else if (PNG_ROW_IN_INTERLACE_PASS(y, pass))
                averageRow(&read->averager, y, read->row, read->channels,
                           int(PNG_PASS_START_COL(pass)), 1 << PNG_PASS_COL_SHIFT(pass));
        }
    }
    return true;
}

// Rows that hold decoded data: of an interlaced picture, those the first pass reached.
int rowsRead(const PngRead *read) {
    return read->pass > 0 ? int(png_get_image_height(read->png, read->info)) : read->passRows;
}

// Whether a pass read so far put the pixel at x, y into a picture read whole: of an interlaced
// picture, each pass fills only its own columns of its own rows.
bool pixelHolds(const PngRead *read, int x, int y) {
    if (png_get_interlace_type(read->png, read->info) == PNG_INTERLACE_NONE)
        return y < read->passRows;
    for (int pass = 0; pass <= read->pass; pass++)
        if (PNG_ROW_IN_INTERLACE_PASS(y, pass) && PNG_COL_IN_INTERLACE_PASS(x, pass) &&
            (pass < read->pass || y < read->passRows))
            return true;
    return false;
}

// A paletted picture cut short: the pixels no pass reached would show palette entry 0, not
// black.
SDL_Surface *blackenMissingPixels(SDL_Surface *paletted, const PngRead *read) {
    SDL_Surface *copy = trueColourCopy(paletted);
    SDL_FreeSurface(paletted);
    if (!copy) return nullptr;
    const Uint32 black = SDL_MapRGBA(copy->format, 0, 0, 0, 255);
    for (int y = 0; y < copy->h; y++) {
        Uint32 *row = reinterpret_cast<Uint32 *>(static_cast<Uint8 *>(copy->pixels) +
                                                 size_t(y) * size_t(copy->pitch));
        for (int x = 0; x < copy->w; x++) {
            if (!pixelHolds(read, x, y)) row[x] = black;
        }
    }
    return copy;
}

}  // namespace

bool startsLikePng(const unsigned char *start, size_t size) {
    return size >= 8 && !png_sig_cmp(start, 0, 8);
}

SDL_Surface *readPng(int file, const DecodeOptions &options, ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    PngRead read{};
    read.input = FileInput{file, 0};
    struct stat status;
    read.size = fstat(file, &status) == 0 ? status.st_size : 0;
    read.ahead = static_cast<unsigned char *>(malloc(kReadAhead));
    read.png = read.ahead ? png_create_read_struct(PNG_LIBPNG_VER_STRING, &read, onError, onWarning)
                          : nullptr;
    read.info = read.png ? png_create_info_struct(read.png) : nullptr;
    if (!read.info) {
        png_destroy_read_struct(&read.png, nullptr, nullptr);
        free(read.ahead);
        SDL_OutOfMemory();
        return nullptr;
    }
    png_set_read_fn(read.png, &read, readBytes);
    const bool whole = readRows(&read, options, info);
    // Only a file with a broken header or no row that decodes is refused; damage further on
    // leaves the rest of the picture black (or transparent, where it has transparency).
    const bool started = read.averaging ? read.averager.output != nullptr : read.picture != nullptr;
    SDL_Surface *picture = read.picture;
    if (!whole && (!started || rowsRead(&read) == 0)) {
        SDL_FreeSurface(picture);
        picture = nullptr;
        // The walk over the chunks names the chunk where a file goes wrong.
        if (pngChunksFit(file)) SDL_SetError("%s", read.reason);
    } else if (read.averaging) {
        picture = finishAveraging(&read.averager);
    } else if (!whole && picture->format->BitsPerPixel == 8) {
        picture = blackenMissingPixels(picture, &read);
    }
    if (picture) convertToSrgb(picture, read.colours, options);
    stopAveraging(&read.averager);
    free(read.ahead);
    free(read.row);
    png_destroy_read_struct(&read.png, &read.info, nullptr);
    return picture;
}
