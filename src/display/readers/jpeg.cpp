// Reduced JPEG decoding: a JPEG larger than the screen decoded straight at an eighth-step of
// its size, so that the full-size picture is never built.
#include <algorithm>
#include <csetjmp>
#include <unistd.h>

#include <cstdio>

#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

#include "readers.h"

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

// Warnings, such as a file cut short, are not failures: the picture is shown as far as it goes
// and nothing is printed, as the full-size decoder does.
void ignoreMessage(j_common_ptr /*decoder*/) {}

// The JPEG start-of-image marker; the name of the file says nothing.
bool startsLikeJpeg(int file) {
    unsigned char marker[2];
    return pread(file, marker, 2, 0) == 2 && marker[0] == 0xFF && marker[1] == 0xD8;
}

// Colour and greyscale JPEGs are what the full-size decoder reports as 24 bits per pixel;
// CMYK and YCCK ones keep the full-size path.
bool isColourOrGreyscale(const jpeg_decompress_struct &decoder) {
    switch (decoder.jpeg_color_space) {
    case JCS_GRAYSCALE:
        return decoder.num_components == 1;
    case JCS_YCbCr:
    case JCS_RGB:
        return decoder.num_components == 3;
    default:
        return false;
    }
}

// Sets the smallest scale M/8 whose output still covers the fitted size on both axes; false
// when only the full size (M = 8) would.
bool chooseScale(jpeg_decompress_struct *decoder, int fittedWidth, int fittedHeight) {
    decoder->scale_denom = 8;
    for (unsigned int eighths = 1; eighths < 8; eighths++) {
        decoder->scale_num = eighths;
        jpeg_calc_output_dimensions(decoder);
        if (decoder->output_width >= JDIMENSION(fittedWidth) &&
            decoder->output_height >= JDIMENSION(fittedHeight))
            return true;
    }
    return false;
}

// The layout the scaler works in, so it takes the decoded surface without converting it.
SDL_Surface *makeRgbaSurface(int width, int height) {
#if SDL_BYTEORDER == SDL_LIL_ENDIAN
    SDL_Surface *surface = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, 0x000000ff,
                                                0x0000ff00, 0x00ff0000, 0xff000000);
#else
    SDL_Surface *surface = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, 0xff000000,
                                                0x00ff0000, 0x0000ff00, 0x000000ff);
#endif
    // A JPEG is opaque: no per-pixel blending on every present.
    if (surface) SDL_SetAlpha(surface, 0, SDL_ALPHA_OPAQUE);
    return surface;
}

// Rows handed to libjpeg per call; the scaled decoder fills several at a time.
constexpr int kRowsPerRead = 16;

// A progressive JPEG needs the coefficients of the whole picture, 6 bytes a pixel at most,
// however small the decode: this bounds it at about 40 megapixels, four times a phone photo's
// needs. A few hundred bytes of header must not make the viewer clear gigabytes.
constexpr long kMemoryLimit = 256L << 20;

SDL_Surface *decodeReduced(FILE *file, const DecodeOptions &options, int *fullWidth,
                           int *fullHeight, bool *tooLarge) {
    jpeg_decompress_struct decoder;
    ErrorManager errors;
    decoder.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = escapeOnError;
    errors.base.output_message = ignoreMessage;
    SDL_Surface *volatile surface = nullptr;
    if (setjmp(errors.escape)) {
        // The full-size decoder would need more memory still; anything else that stopped
        // this decoder, the full-size one decides about and reports in its own words.
        if (errors.base.msg_code == JERR_NO_BACKING_STORE) {
            SDL_SetError("JPEG of %dx%d pixels needs more than %d MB to decode",
                         int(decoder.image_width), int(decoder.image_height),
                         int(kMemoryLimit >> 20));
            *tooLarge = true;
        }
        jpeg_destroy_decompress(&decoder);
        if (surface) SDL_FreeSurface(surface);
        return nullptr;
    }
    jpeg_create_decompress(&decoder);
    decoder.mem->max_memory_to_use = kMemoryLimit;
    jpeg_stdio_src(&decoder, file);
    jpeg_read_header(&decoder, TRUE);

    const int width = int(decoder.image_width);
    const int height = int(decoder.image_height);
    int fittedWidth = 0;
    int fittedHeight = 0;
    if (!isColourOrGreyscale(decoder) ||
        !fittedSize(options, width, height, &fittedWidth, &fittedHeight)) {
        jpeg_destroy_decompress(&decoder);
        return nullptr;
    }
    decoder.out_color_space = JCS_EXT_RGBA;
    if (!chooseScale(&decoder, fittedWidth, fittedHeight)) {
        jpeg_destroy_decompress(&decoder);
        return nullptr;
    }
    jpeg_start_decompress(&decoder);
    surface = makeRgbaSurface(int(decoder.output_width), int(decoder.output_height));
    if (!surface) {
        jpeg_destroy_decompress(&decoder);
        return nullptr;
    }
    JSAMPROW rows[kRowsPerRead];
    auto *pixels = static_cast<JSAMPLE *>(surface->pixels);
    while (decoder.output_scanline < decoder.output_height) {
        const JDIMENSION first = decoder.output_scanline;
        const JDIMENSION count = std::min<JDIMENSION>(kRowsPerRead, decoder.output_height - first);
        for (JDIMENSION i = 0; i < count; i++)
            rows[i] = pixels + static_cast<size_t>(first + i) * static_cast<size_t>(surface->pitch);
        jpeg_read_scanlines(&decoder, rows, count);
    }
    jpeg_finish_decompress(&decoder);
    jpeg_destroy_decompress(&decoder);
    *fullWidth = width;
    *fullHeight = height;
    return surface;
}

}  // namespace

SDL_Surface *loadReducedJpeg(int file, const DecodeOptions &options, int *fullWidth,
                             int *fullHeight, bool *tooLarge) {
    *tooLarge = false;
    if (!startsLikeJpeg(file)) return nullptr;
    // A stream of its own over the same file, read from its start.
    const int copy = dup(file);
    FILE *stream = copy >= 0 ? fdopen(copy, "rb") : nullptr;
    if (!stream) {
        if (copy >= 0) close(copy);
        return nullptr;
    }
    SDL_Surface *reduced = fseek(stream, 0, SEEK_SET) == 0
                               ? decodeReduced(stream, options, fullWidth, fullHeight, tooLarge)
                               : nullptr;
    fclose(stream);
    return reduced;
}
