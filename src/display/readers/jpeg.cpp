// JPEG reading with libjpeg: every JPEG, CMYK ones in the colours they print in, turned upright
// when asked, and one larger than the screen decoded straight at an eighth-step of its size, so
// that the full-size picture is never built.
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

#include "readers.h"
#include "average.h"
#include "colour.h"
#include "fit.h"
#include "input.h"
#include "surfaces.h"

namespace {

// libjpeg reports fatal errors through a callback that must not return. It jumps back to the
// decoding function instead, which is written so that nothing with a destructor is skipped.
struct ErrorManager {
    jpeg_error_mgr base;  // first, so libjpeg's pointer to it points to the whole record
    jmp_buf escape;
};

[[noreturn]] void escapeOnError(j_common_ptr decoder) {
    longjmp(reinterpret_cast<ErrorManager *>(decoder->err)->escape, 1);
}

// Warnings, such as a file cut short, are not failures: the picture is shown as far as it goes.
void ignoreMessage(j_common_ptr /*decoder*/) {}

// The file, read from its start without moving its offset.
struct Source {
    jpeg_source_mgr base;  // first, as with the error manager
    FileInput input;
    JOCTET buffer[65536];
    AreaAverager averager;  // here, where a longjmp leaves it as it was
    JOCTET *profile;        // the ICC profile of the APP2 markers, libjpeg's allocation
    void *cmykConversion;   // through a CMYK profile, when the picture has one
};

// Frees what a decode kept in its source.
void releaseColours(Source *source) {
    stopCmykConversion(source->cmykConversion);
    source->cmykConversion = nullptr;
    free(source->profile);
    source->profile = nullptr;
}

void startReading(j_decompress_ptr) {}

boolean fillBuffer(j_decompress_ptr decoder) {
    Source *source = reinterpret_cast<Source *>(decoder->src);
    size_t got = readSome(&source->input, source->buffer, sizeof source->buffer);
    if (got == 0) {
        // A file cut short ends as if it had its end marker: what came before is shown.
        WARNMS(decoder, JWRN_JPEG_EOF);
        source->buffer[0] = 0xFF;
        source->buffer[1] = JPEG_EOI;
        got = 2;
    }
    source->base.next_input_byte = source->buffer;
    source->base.bytes_in_buffer = size_t(got);
    return TRUE;
}

void skipBytes(j_decompress_ptr decoder, long count) {
    jpeg_source_mgr *source = decoder->src;
    while (count > long(source->bytes_in_buffer)) {
        count -= long(source->bytes_in_buffer);
        fillBuffer(decoder);
    }
    if (count > 0) {
        source->next_input_byte += count;
        source->bytes_in_buffer -= size_t(count);
    }
}

void stopReading(j_decompress_ptr) {}

// Pictures up to this size are decoded whole where an eighth does not cover the screen.
constexpr uint64_t kWholeDecodePixels = uint64_t(4) << 20;

// Sets the scale M/8 to decode at for a picture averaged to width x height; false for the full
// size (M = 8). An eighth is an exact 8x8 average and the full size the picture itself, but the
// scales between ring at sharp edges (text, lines, checks), and shrinking them to the screen
// leaves little to smooth that out: so an eighth where it covers the screen's share, the whole
// picture up to kWholeDecodePixels, and past that, where a decode costs most, the smallest
// scale that covers.
bool chooseScale(jpeg_decompress_struct *decoder, int width, int height) {
    decoder->scale_denom = 8;
    for (unsigned int eighths = 1; eighths < 8; eighths++) {
        decoder->scale_num = eighths;
        jpeg_calc_output_dimensions(decoder);
        if (decoder->output_width >= JDIMENSION(width) &&
            decoder->output_height >= JDIMENSION(height))
            return true;
        if (eighths == 1 &&
            uint64_t(decoder->image_width) * decoder->image_height <= kWholeDecodePixels)
            break;
    }
    decoder->scale_num = 8;
    return false;
}

// The TIFF field types an orientation may be stored as.
constexpr uint32_t kExifShort = 3;
constexpr uint32_t kExifLong = 4;

uint32_t exifNumber(const JOCTET *at, bool bigEndian, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; i++)
        value |= uint32_t(at[bigEndian ? i : bytes - 1 - i]) << (8 * (bytes - 1 - i));
    return value;
}

// The EXIF orientation (1 to 8) of the first picture, or 1 when the file names none.
int exifOrientation(const jpeg_decompress_struct &decoder) {
    for (jpeg_saved_marker_ptr marker = decoder.marker_list; marker; marker = marker->next) {
        const JOCTET *data = marker->data;
        const size_t size = marker->data_length;
        if (marker->marker != JPEG_APP0 + 1 || size < 14 || memcmp(data, "Exif\0\0", 6) != 0)
            continue;
        const JOCTET *tiff = data + 6;
        const size_t tiffSize = size - 6;
        // The byte order is "II" (little-endian) or "MM"; anything else is no TIFF header.
        if (tiff[0] != tiff[1] || (tiff[0] != 'I' && tiff[0] != 'M')) return 1;
        const bool big = tiff[0] == 'M';
        const uint32_t directory = exifNumber(tiff + 4, big, 4);
        if (directory > tiffSize - 2) return 1;
        const uint32_t entries = exifNumber(tiff + directory, big, 2);
        for (uint32_t i = 0; i < entries; i++) {
            const size_t entry = directory + 2 + size_t(i) * 12;
            if (entry + 12 > tiffSize) return 1;
            if (exifNumber(tiff + entry, big, 2) != 0x0112) continue;
            // A SHORT, as the standard has it, or a LONG, as some writers store it; each sits at
            // the start of the entry's value field.
            const uint32_t type = exifNumber(tiff + entry + 2, big, 2);
            if (type != kExifShort && type != kExifLong) return 1;
            const uint32_t orientation =
                exifNumber(tiff + entry + 8, big, type == kExifShort ? 2 : 4);
            return orientation >= 1 && orientation <= 8 ? int(orientation) : 1;
        }
    }
    return 1;
}

// CMYK as JPEGs store it, turned in place into the RGB it prints as. Adobe's programs store the
// inks inverted, and say so with a marker of their own.
void cmykToRgba(JSAMPLE *pixels, JDIMENSION width, bool inverted) {
    // Each pixel's inks are read before its colour is written over them.
    for (JDIMENSION x = 0; x < width; x++, pixels += 4) {
        const unsigned int black = inverted ? pixels[3] : 255u - pixels[3];
        for (int c = 0; c < 3; c++) {
            const unsigned int ink = inverted ? pixels[c] : 255u - pixels[c];
            pixels[c] = JSAMPLE((ink * black + 127) / 255);
        }
        pixels[3] = 255;
    }
}

// Rows handed to libjpeg per call; the scaled decoder fills several at a time.
constexpr int kRowsPerRead = 16;

// A progressive JPEG needs the coefficients of the whole picture, 6 bytes a pixel at most,
// however small the decode: this bounds it at about 40 megapixels, four times a phone photo's
// needs. A few hundred bytes of header must not make the viewer clear gigabytes.
constexpr long kMemoryLimit = 256L << 20;

// Lets go of everything a decode that fails holds: the decoder, the picture or the averager,
// the strip and the colours; its result.
SDL_Surface *abandonDecode(jpeg_decompress_struct *decoder, Source *source, SDL_Surface *surface,
                           JSAMPLE *strip) {
    jpeg_destroy_decompress(decoder);
    if (surface) SDL_FreeSurface(surface);
    stopAveraging(&source->averager);
    releaseColours(source);
    delete[] strip;
    return nullptr;
}

SDL_Surface *decode(Source *source, const DecodeOptions &options, ImageInfo *info) {
    jpeg_decompress_struct decoder;
    ErrorManager errors;
    decoder.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = escapeOnError;
    errors.base.output_message = ignoreMessage;
    SDL_Surface *volatile surface = nullptr;
    JSAMPLE *volatile strip = nullptr;
    AreaAverager &averager = source->averager;
    if (setjmp(errors.escape)) {
        if (errors.base.msg_code == JERR_NO_BACKING_STORE) {
            SDL_SetError("JPEG of %dx%d pixels needs more than %d MB to decode",
                         int(decoder.image_width), int(decoder.image_height),
                         int(kMemoryLimit >> 20));
        } else if (errors.base.msg_code == JERR_OUT_OF_MEMORY) {
            SDL_OutOfMemory();
        } else {
            char message[JMSG_LENGTH_MAX];
            errors.base.format_message(reinterpret_cast<j_common_ptr>(&decoder), message);
            SDL_SetError("JPEG: %s", message);
        }
        return abandonDecode(&decoder, source, surface, strip);
    }
    jpeg_create_decompress(&decoder);
    decoder.mem->max_memory_to_use = kMemoryLimit;
    decoder.src = &source->base;
    if (options.autorotate) jpeg_save_markers(&decoder, JPEG_APP0 + 1, 0xffff);
    if (!options.rawColours) jpeg_save_markers(&decoder, JPEG_APP0 + 2, 0xffff);
    jpeg_read_header(&decoder, TRUE);
    // The colour profile, whole or not at all: a sequence of markers cut short is ignored.
    ColourDescription colours{};
    unsigned int profileSize = 0;
    if (!options.rawColours && jpeg_read_icc_profile(&decoder, &source->profile, &profileSize)) {
        colours.icc = source->profile;
        colours.iccSize = profileSize;
    }
    colours.grey = decoder.num_components == 1;

    // CMYK and YCCK pictures decode to CMYK, every other one to RGBA.
    const bool cmyk = decoder.num_components == 4;
    const int orientation = options.autorotate ? exifOrientation(decoder) : 1;
    const bool across = orientation >= 5;  // turned a quarter: width and height change places
    const int width = int(across ? decoder.image_height : decoder.image_width);
    const int height = int(across ? decoder.image_width : decoder.image_height);
    *info = ImageInfo{true, width, height, cmyk ? 32 : 24};

    // A picture that must shrink is decoded at the smallest scale M/8 that still covers what
    // averaging makes of it (its full size on an axis that grows), and its rows averaged as
    // they come, so that no full-size picture is held. Without smoothing the user asked for
    // plain samples of the full picture, which neither would give.
    const FitPlan plan = planFit(options, width, height);
    const int averagedWidth = across ? plan.averagedHeight : plan.averagedWidth;
    const int averagedHeight = across ? plan.averagedWidth : plan.averagedHeight;
    if (plan.averaged) chooseScale(&decoder, averagedWidth, averagedHeight);
    decoder.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_RGBA;
    if (cmyk)
        source->cmykConversion = startCmykConversion(colours, options, decoder.saw_Adobe_marker);
    jpeg_start_decompress(&decoder);
    const int decodedWidth = int(decoder.output_width);
    const int decodedHeight = int(decoder.output_height);
    if (plan.averaged) {
        if (!startAveraging(&averager, decodedWidth, decodedHeight, averagedWidth, averagedHeight,
                            true, false))
            return abandonDecode(&decoder, source, nullptr, nullptr);
    } else if (!surfaceHolds(decodedWidth, decodedHeight)) {
        return abandonDecode(&decoder, source, nullptr, nullptr);
    } else {
        surface = makeRgbaSurface(decodedWidth, decodedHeight, false);
        if (!surface) {
            SDL_OutOfMemory();
            return abandonDecode(&decoder, source, nullptr, nullptr);
        }
    }
    // Rows go into the surface, or through a strip of their own into the averager. CMYK rows
    // take as many bytes as RGBA ones, and are made RGB where they lie.
    if (plan.averaged) strip = new JSAMPLE[size_t(decodedWidth) * 4 * kRowsPerRead];
    JSAMPROW rows[kRowsPerRead];
    while (decoder.output_scanline < decoder.output_height) {
        const JDIMENSION first = decoder.output_scanline;
        const JDIMENSION count = std::min<JDIMENSION>(kRowsPerRead, decoder.output_height - first);
        for (JDIMENSION i = 0; i < count; i++) {
            rows[i] = plan.averaged ? strip + size_t(i) * size_t(decodedWidth) * 4
                                    : static_cast<JSAMPLE *>(surface->pixels) +
                                          size_t(first + i) * size_t(surface->pitch);
        }
        const JDIMENSION read = jpeg_read_scanlines(&decoder, rows, count);
        for (JDIMENSION i = 0; i < read; i++) {
            if (source->cmykConversion)
                convertCmykRow(source->cmykConversion, rows[i], int(decoder.output_width));
            else if (cmyk)
                cmykToRgba(rows[i], decoder.output_width, decoder.saw_Adobe_marker);
            if (plan.averaged) averageRow(&averager, int(first + i), rows[i], 4);
        }
    }
    jpeg_finish_decompress(&decoder);
    jpeg_destroy_decompress(&decoder);
    delete[] strip;
    SDL_Surface *decoded = plan.averaged ? finishAveraging(&averager) : surface;
    // A CMYK picture went through its profile as it was read; any other goes through its own
    // now that it is fitted.
    if (!cmyk) convertToSrgb(decoded, colours, options);
    releaseColours(source);
    if (!decoded) return nullptr;
    return orientation == 1 ? decoded : turnUpright(decoded, orientation);
}

}  // namespace

bool startsLikeJpeg(const unsigned char *start, size_t size) {
    return size >= 2 && start[0] == 0xFF && start[1] == 0xD8;
}

SDL_Surface *readJpeg(int file, const DecodeOptions &options, ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    Source *source = new Source{};
    source->base.init_source = startReading;
    source->base.fill_input_buffer = fillBuffer;
    source->base.skip_input_data = skipBytes;
    source->base.resync_to_restart = jpeg_resync_to_restart;
    source->base.term_source = stopReading;
    source->input = FileInput{file, 0};
    SDL_Surface *picture = decode(source, options, info);
    delete source;
    return picture;
}
